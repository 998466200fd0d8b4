// The files that record the line, the text trace and the pcapng capture, one per instance in
// a room of its own (InstanceTable). How a context finds its file, and how the file ends, fails
// and is flushed after a command, is the same for both; what they write stays with each.
//
// A `Slot` has `ctx` (set while its file is open), `file` (a CappedFile), `flushedMs` and an
// `attempt` with `pending`; `WriteOut(slot)` writes the attempt still pending, if any.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "services/host_log.h"
#include "services/instance_table.h"

namespace merix {

template <typename Slot, void (*WriteOut)(Slot&)> class LineRecorderSlots {
public:
    /// `what` names the recording in the log: "trace", "capture".
    explicit constexpr LineRecorderSlots(const char* what) : what_(what) {}

    /// The open file of `ctx`, or nullptr. An instance that records nothing costs no look-up.
    Slot* Find(const DriverContext& ctx) {
        if (open_ == 0) {
            return nullptr;
        }
        Slot* s = table_.Find(ctx);
        return s != nullptr && s->ctx == &ctx ? s : nullptr;
    }

    /// Ends the file of this context's address, whatever instance it was, and one that an
    /// earlier context of this instance left open: that context is gone, and on Windows its
    /// open file would refuse ours.
    void Retire(const DriverContext& ctx) {
        table_.Retire(ctx, ctx.vpiNumber, [this](Slot& s) { End(s); });
    }

    /// A fresh slot for `ctx` (after Retire), or nullptr when there is no memory for one.
    Slot* Claim(const DriverContext& ctx) { return table_.Claim(ctx); }

    /// The slot's file is open for `ctx`.
    void Opened(Slot& s, const DriverContext& ctx) {
        ++open_;
        s.ctx = &ctx;
    }

    /// Writes what is pending and ends the file.
    void End(Slot& s) {
        if (s.ctx != nullptr) {
            WriteOut(s);
            Close(s);
        }
    }

    void Stop(const DriverContext& ctx) {
        if (Slot* s = Find(ctx)) {
            End(*s);
        }
    }

    void StopAll() {
        table_.ForEach([this](Slot& s) { End(s); });
        table_.ReleaseAll();
    }

    /// Ends the file; the last bytes are flushed as it closes. `failed`: the failure that ends
    /// it is in the log already.
    void Close(Slot& s, bool failed = false) {
        if (!s.file.Close() && !failed) {
            Fail(s);
        }
        if (s.ctx != nullptr) {
            s.ctx = nullptr;
            --open_;
        }
        s.attempt.pending = false;
    }

    /// The file ends after a failed write, flush or rename: one line in the host's log, and no
    /// file is ever truncated or written twice over.
    void Fail(Slot& s) {
        Log(kLogError, "MERIX> Line %s file '%s' could not be written: %s stopped", what_,
            s.file.Path(), what_);
        Close(s, true);
    }

    /// A command has ended: its last attempt is written, and the file flushed at most every
    /// tenth of a second, so that a reader following it sees each record soon and a busy line
    /// costs few system calls; at once when `now` (a failure, a port command).
    void CommandEnds(const DriverContext& ctx, bool now) {
        Slot* s = Find(ctx);
        if (s == nullptr) {
            return;
        }
        WriteOut(*s);
        const uint64_t ms = plat::ClockMs();
        if (s->ctx != nullptr && (now || ms - s->flushedMs >= kFlushEveryMs)) {
            if (!s->file.Flush()) {
                Fail(*s);
                return;
            }
            s->flushedMs = ms;
        }
    }

private:
    static constexpr uint64_t kFlushEveryMs = 100;

    const char* what_;
    InstanceTable<Slot> table_;
    int open_ = 0; // files open
};

} // namespace merix
