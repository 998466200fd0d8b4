#include "transactions/write_journal.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/trace_file.h"
#include "serial/frame_text.h"
#include "serial/function_table.h"
#include "services/host_log.h"
#include "services/instance_table.h"

namespace merix {

namespace {

// The host's gate text is of any length and may hold any byte: the journal shows this much
// of it, on one line.
constexpr std::size_t kGateShown = 31;

/// The journal's file: appended, binary (the line ends are the journal's own on every system),
/// through a buffer of its own so that no write allocates, and flushed after every line. It is
/// never truncated: it opens at its end, and a failed write ends it.
class JournalFile {
public:
    JournalFile() = default;
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;
    ~JournalFile() { Close(); }

    bool Open(const char* path) {
        file_ = plat::OpenRegularFile(path);
        if (file_ != nullptr) {
            std::setvbuf(file_, buffer_, _IOFBF, sizeof buffer_);
        }
        return file_ != nullptr;
    }
    bool IsOpen() const { return file_ != nullptr; }
    /// The text is handed to the system before the answer: false when any of it was not.
    bool Append(std::string_view text) {
        return file_ != nullptr && std::fwrite(text.data(), 1, text.size(), file_) == text.size() &&
               std::fflush(file_) == 0;
    }
    void Close() {
        if (file_ != nullptr) {
            std::fclose(file_); // every line was flushed as it was written
            file_ = nullptr;
        }
    }

private:
    std::FILE* file_ = nullptr;
    char buffer_[1024] = {};
};

struct Slot {
    JournalFile file; ///< open while the journal takes lines
    char path[1024] = {};
    FixedText<1024> line;
};

InstanceTable<Slot> gJournals;

void AppendStamp(TextBuffer& out, const plat::LocalTime& t, char between) {
    out.Printf("%04d-%02d-%02d%c%02d:%02d:%02d.%03d", t.year, t.month, t.day, between, t.hour,
               t.minute, t.second, t.millis);
}

/// The host's text, cut at kGateShown characters, with a '?' for every byte that would break
/// the line or its quotes.
void AppendGate(TextBuffer& out, const char* gate) {
    char shown[kGateShown + 1] = {};
    std::size_t n = 0;
    for (; gate != nullptr && n < kGateShown && gate[n] != '\0'; ++n) {
        const auto c = static_cast<unsigned char>(gate[n]);
        shown[n] = c < 0x20 || c >= 0x7F || c == '"' ? '?' : static_cast<char>(c);
    }
    out.Printf("gate=\"%s\"", shown);
}

void FormatRecord(TextBuffer& out, const DriverContext& ctx, const JournalRecord& r) {
    out.Clear();
    AppendStamp(out, plat::Now(), ' ');
    out.Printf(" instance=%u ", static_cast<unsigned>(ctx.vpiNumber));
    AppendGate(out, r.gate);
    out.Printf(" station=%d function=%d", static_cast<int>(r.station),
               static_cast<int>(r.function));
    if (r.address >= 0) {
        out.Printf(" address=%d", static_cast<int>(r.address));
    } else {
        out.Append(" address=-");
    }
    if (r.function != kTimeSync) {
        out.Printf(" value=%d word=0x%04X", r.value, static_cast<unsigned>(r.word));
    } else if (r.clock != nullptr) {
        out.Append(" value=");
        AppendStamp(out, *r.clock, 'T');
    } else {
        out.Append(" value=-");
    }
    out.Printf(" attempts=%d", r.attempts);
    if (r.read != nullptr) {
        out.Printf(" read=%d", *r.read);
    }
    out.Printf(" result=%d why=%.*s\n", static_cast<int>(r.result), static_cast<int>(r.why.size()),
               r.why.data());
}

/// True when the regular file `path` ends inside a line: a line cut short when the disk ran
/// full. The start's line then begins on a line of its own.
bool EndsMidLine(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return false;
    }
    const bool midLine = std::fseek(file, -1, SEEK_END) == 0 && std::fgetc(file) != '\n';
    std::fclose(file);
    return midLine;
}

/// Opens the journal and writes its first line, which marks the start; false when either
/// fails (a folder that does not exist, no permission, a full disk).
bool OpenJournal(Slot& s, const DriverContext& ctx, const char* path) {
    // The absolute name, for the log: the host may change its directory later. The file is
    // opened by the name as written, now.
    if (!plat::AbsolutePath(path, s.path, sizeof s.path)) {
        std::snprintf(s.path, sizeof s.path, "%s", path);
    }
    if (!s.file.Open(path)) {
        return false;
    }
    s.line.Clear();
    // Opened, the file is known to be a regular one: reading its end acts on nothing.
    s.line.Append(EndsMidLine(path) ? "\n" : "");
    s.line.Append("# merix write journal of instance ");
    s.line.Printf("%u, started ", static_cast<unsigned>(ctx.vpiNumber));
    AppendStamp(s.line, plat::Now(), ' ');
    s.line.Append("\n");
    if (!s.file.Append(s.line.View())) {
        s.file.Close();
        return false;
    }
    return true;
}

} // namespace

void StartWriteJournal(const DriverContext& ctx, const InstanceSettings& settings) {
    gJournals.Retire(ctx, ctx.vpiNumber, [](Slot&) {}); // a retired slot closes its file
    if (!settings.journalWanted) {
        return;
    }
    const char* path = settings.journal;
    if (path[0] == '\0') {
        Log(kLogError, "MERIX> ColdStart() JOURNAL names no file: no write will be made");
        return;
    }
    Slot* slot = gJournals.Claim(ctx);
    if (slot == nullptr) {
        Log(kLogError,
            "MERIX> ColdStart() write journal '%s' not opened, no memory for instance %u: no "
            "write will be made",
            path, static_cast<unsigned>(ctx.vpiNumber));
        return;
    }
    if (!OpenJournal(*slot, ctx, path)) {
        Log(kLogError,
            "MERIX> ColdStart() write journal '%s' cannot be opened and written: no write will "
            "be made",
            path);
        return;
    }
    Log(kLogError, "MERIX> ColdStart() write journal to '%s'", slot->path);
}

void StopAllWriteJournals() {
    gJournals.ReleaseAll(); // each slot closes its file as it goes
}

bool JournalTakesWrites(const DriverContext& ctx, const InstanceSettings& settings) {
    if (!settings.journalWanted) {
        return true;
    }
    const Slot* s = gJournals.Find(ctx);
    return s != nullptr && s->file.IsOpen();
}

bool JournalWrite(const DriverContext& ctx, const InstanceSettings& settings,
                  const JournalRecord& record) {
    if (!settings.journalWanted) {
        return true;
    }
    Slot* s = gJournals.Find(ctx);
    if (s == nullptr || !s->file.IsOpen()) {
        return false; // said when it ended; no write went out since
    }
    FormatRecord(s->line, ctx, record);
    if (s->file.Append(s->line.View())) {
        return true;
    }
    // What the system took of the line stays in the file, and the file stays as it is: a
    // journal is never written over. The line goes to the log instead.
    s->file.Close();
    std::string_view text = s->line.View();
    text.remove_suffix(text.empty() ? 0 : 1); // the line end
    Log(kLogError,
        "MERIX> SingleWrite() write journal of instance %u could not be written, no write is "
        "made from now on; the line it lacks: %.*s",
        static_cast<unsigned>(ctx.vpiNumber), static_cast<int>(text.size()), text.data());
    return false;
}

} // namespace merix
