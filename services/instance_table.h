// Memory kept per driver instance outside the host's context record, whose layout is fixed.
//
// A host runs one instance per line, and a machine with multi-port cards runs dozens; the
// initialisation files alone name instances 00 to 99. Every one of them gets its room, and
// none is ever dropped for another. Room is found at ColdStart, never on a transaction's
// path, which only looks it up. An instance that gets none goes on without what the room
// would have held.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "merix/vpi.h"

namespace merix {

/// Instances served at once: every number the initialisation files can name, and room for a
/// host that starts some of them again in new contexts.
inline constexpr int kMaxInstances = 128;

/// A `Room` for each instance, keyed by the address of its context.
template <typename Room> class InstanceTable {
public:
    /// The room of `ctx` in its starting state, made at the first call; nullptr when none can
    /// be had (memory, or every entry taken by another live instance). Whatever this context
    /// or an earlier context of its instance number held is retired first (Retire).
    Room* Claim(const DriverContext& ctx) {
        Retire(ctx, ctx.vpiNumber, [](Room&) {});
        Entry* entry = FreeEntry(ctx);
        if (entry == nullptr) {
            return nullptr;
        }
        if (!entry->room) {
            entry->room.reset(new (std::nothrow) Room{});
            if (!entry->room) {
                return nullptr;
            }
        }
        entry->owner = &ctx;
        entry->vpiNumber = ctx.vpiNumber;
        return entry->room.get();
    }

    /// The room of `ctx`, or nullptr when it has none. Never allocates.
    Room* Find(const DriverContext& ctx) const {
        const Entry* entry = FindEntry(ctx);
        return entry != nullptr ? entry->room.get() : nullptr;
    }

    /// Frees the entry of `ctx`'s address and every entry of instance `number`, after
    /// `release(room)` on each: the host starts that instance in this memory now, so a room
    /// held at this address (another instance's, whose memory the host gave back) and a room
    /// of this number at another address (memory the host let go, or gave to another
    /// instance) belong to no live context any more. Their rooms go back to their starting
    /// state; the memory is kept for the next claim.
    template <typename F> void Retire(const DriverContext& ctx, uint32_t number, F&& release) {
        for (Entry& e : entries_) {
            if (e.owner == nullptr || (e.owner != &ctx && e.vpiNumber != number)) {
                continue;
            }
            if (e.room) {
                release(*e.room);
                // Afresh in place: a room need not be assignable.
                std::destroy_at(e.room.get());
                std::construct_at(e.room.get());
            }
            e.owner = nullptr;
        }
    }

    /// Calls `f(room)` for every instance that has a room.
    template <typename F> void ForEach(F&& f) {
        for (Entry& e : entries_) {
            if (e.owner != nullptr && e.room) {
                f(*e.room);
            }
        }
    }

    /// Gives every room back: the library is stopped for good (or a test loads it afresh).
    void ReleaseAll() {
        for (Entry& e : entries_) {
            e = Entry{};
        }
    }

private:
    struct Entry {
        const DriverContext* owner = nullptr; // compared, never followed
        uint32_t vpiNumber = 0;
        std::unique_ptr<Room> room;
    };

    Entry* FindEntry(const DriverContext& ctx) {
        return const_cast<Entry*>(std::as_const(*this).FindEntry(ctx));
    }
    // An instance first tries the entry of its own number, so that a look-up on the
    // transaction path usually ends at once.
    static int Home(const DriverContext& ctx) {
        return static_cast<int>(ctx.vpiNumber % kMaxInstances);
    }

    const Entry* FindEntry(const DriverContext& ctx) const {
        if (entries_[Home(ctx)].owner == &ctx) {
            return &entries_[Home(ctx)];
        }
        for (const Entry& e : entries_) {
            if (e.owner == &ctx) {
                return &e;
            }
        }
        return nullptr;
    }

    /// A free entry for a new instance, its own number's first.
    Entry* FreeEntry(const DriverContext& ctx) {
        if (entries_[Home(ctx)].owner == nullptr) {
            return &entries_[Home(ctx)];
        }
        for (Entry& e : entries_) {
            if (e.owner == nullptr) {
                return &e;
            }
        }
        return nullptr;
    }

    Entry entries_[kMaxInstances];
};

} // namespace merix
