#include "config/ini_file.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "config/ini_names.h"
#include "platform/net_address.h"
#include "serial/com_port.h"
#include "serial/transmitter.h"
#include "services/host_log.h"
#include "transactions/write_permission.h"

namespace merix {

namespace {

// Every list ends with an empty string; the position of a word is its meaning.
constexpr const char* kLineNames[] = {"DTR", "RTS", ""};
enum LineName { kDtr = 0, kRts = 1 };
constexpr const char* kSwitchWords[] = {"OFF", "ON", ""};
// RS485 takes digits too; a word's index modulo 2 is its state.
constexpr const char* kRs485Words[] = {"OFF", "ON", "0", "1", ""};

// A line and the terminating zero; a longer line comes back in pieces.
constexpr int kLineBufferSize = static_cast<int>(kIniLineLength) + 1;
constexpr int kFDelayLimit = 500;   // tenths of a millisecond
constexpr long kTraceMaxMiB = 4095; // a cap on a trace, not a disk's size

char* SkipBlanks(char* p) {
    while (*p == ' ') {
        ++p;
    }
    return p;
}

struct LineFlags {
    unsigned dtr;
    unsigned rts;
};

uint32_t LineMask(const LineFlags& f) {
    return kLineDtr * f.dtr | kLineRts * f.rts;
}

/// DTR/RTS pairs ("DTR ON RTS OFF", "DTRON"); stops at the first word that is not part of a
/// pair, keeping the pairs before it.
void ReadPairs(char*& cursor, LineFlags& flags) {
    for (;;) {
        const int line = MatchKeyword(cursor, kLineNames, ' ');
        if (line < 0) {
            return;
        }
        const int state = MatchKeyword(cursor, kSwitchWords, ' ');
        if (state < 0) {
            return;
        }
        (line == kDtr ? flags.dtr : flags.rts) = static_cast<unsigned>(state);
    }
}

/// A decimal number as scanf reads one: leading white space, an optional sign, digits. The
/// file is untrusted, so a value outside [lo, hi] counts as unreadable instead of wrapping.
bool ReadNumber(const char* text, long lo, long hi, long* value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || v < lo || v > hi) {
        return false;
    }
    *value = v;
    return true;
}

/// Windows text mode reads CR LF as LF; do the same so a file edited there reads alike here.
void FoldCrLf(char* line) {
    const std::size_t n = std::strlen(line);
    if (n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n') {
        line[n - 2] = '\n';
        line[n - 1] = '\0';
    }
}

} // namespace

int MatchKeyword(char*& cursor, const char* const* keywords, char separator) {
    if (cursor == nullptr || keywords == nullptr) {
        return -1;
    }
    const bool needSeparator = separator != ' ' && separator != '\0';
    cursor = SkipBlanks(cursor);
    for (char* p = cursor; *p != '\0'; ++p) {
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    }
    for (int i = 0; keywords[i] != nullptr && keywords[i][0] != '\0'; ++i) {
        const std::size_t len = std::strlen(keywords[i]);
        // strncmp stops at the line's terminating zero, so a short line is never overrun.
        if (std::strncmp(cursor, keywords[i], len) != 0) {
            continue;
        }
        char* p = SkipBlanks(cursor + len);
        if (needSeparator) {
            if (*p != separator) {
                continue;
            }
            ++p;
        }
        cursor = SkipBlanks(p);
        return i;
    }
    return -1;
}

namespace {

/// A value that names a file or a port, in the case it was written (the keyword match
/// upper-cases the line), without the line end and trailing blanks.
template <std::size_t N> void ReadOriginalValue(const char* original, char (&value)[N]) {
    std::size_t n = std::strlen(original);
    while (n > 0 &&
           (original[n - 1] == '\n' || original[n - 1] == ' ' || original[n - 1] == '\t')) {
        --n;
    }
    n = std::min(n, N - 1);
    std::memcpy(value, original, n);
    value[n] = '\0';
}

/// Reads a line, or the next 255 characters of a longer one, into `line`; *cut tells the
/// latter. fgets says nothing of how much it read, and a NUL in the line hides its end: a mark
/// in the buffer's last byte tells whether the buffer was filled.
bool ReadPiece(std::FILE* file, char (&line)[kLineBufferSize], bool* cut) {
    line[kLineBufferSize - 1] = 1;
    if (std::fgets(line, sizeof line, file) == nullptr) {
        return false;
    }
    *cut = line[kLineBufferSize - 1] == '\0' && line[kLineBufferSize - 2] != '\n';
    if (*cut) {
        // A line that filled the buffer exactly is whole when its line end, or the file's end,
        // comes next; the line end is taken with it.
        const int c = std::fgetc(file);
        *cut = c != EOF && c != '\n';
        if (*cut) {
            std::ungetc(c, file);
        }
    }
    return true;
}

void SkipRestOfLine(std::FILE* file) {
    int c = 0;
    do {
        c = std::fgetc(file);
    } while (c != '\n' && c != EOF);
}

/// One line of the file, or a 255-character piece of a longer one.
struct Line {
    char text[kLineBufferSize];     ///< upper-cased from the keyword on as it is matched
    char original[kLineBufferSize]; ///< as written, for a value that keeps its case
    char* cursor = text;            ///< where matching goes on
    bool cut = false;               ///< the line goes on in the next piece
};

/// What reading the file changes, and what its messages name.
struct Reading {
    DriverContext& ctx;
    InstanceSettings* settings; ///< nullptr: its keywords are read, with nowhere to go
    std::FILE* file;
    const char* fileName;
    unsigned lineCount = 0; ///< comments and empty lines included
    LineFlags send{1, 0};
    LineFlags receive{0, 0};
};

void LogIllegalLine(const Reading& r) {
    Log(kLogError, "MERIX> ReadIntFile() illegal line %u in '%s'", r.lineCount, r.fileName);
}

/// For a keyword whose value must be read whole: a cut line's pieces all go with it.
void RefuseLine(const Line& line, const Reading& r) {
    if (line.cut) {
        SkipRestOfLine(r.file);
    }
    LogIllegalLine(r);
}

// DEBUG = OFF | ON: debugFlag; another word leaves it. Logs the flag in force, always.
void ReadDebug(Line& line, Reading& r) {
    const int word = MatchKeyword(line.cursor, kSwitchWords, ' ');
    if (word >= 0) {
        r.ctx.debugFlag = static_cast<uint8_t>(word);
    }
    Log(kLogDetail, "MERIX> Debug information flag = %d", r.ctx.debugFlag);
}

// SEND = DTR/RTS pairs: the line states while a request goes out. Logs the flags in force.
void ReadSend(Line& line, Reading& r) {
    ReadPairs(line.cursor, r.send);
    Log(kLogError, "MERIX> SEND:DTR=%u RTS=%u", r.send.dtr, r.send.rts);
}

// RECEIVE = DTR/RTS pairs: the line states while a reply is awaited.
void ReadReceive(Line& line, Reading& r) {
    ReadPairs(line.cursor, r.receive);
    Log(kLogError, "MERIX> RECEIVE:DTR=%u RTS=%u ", r.receive.dtr, r.receive.rts);
}

// FDELAY = tenths of a millisecond below 500, signed: fDelay. Logged only when accepted.
void ReadFDelay(Line& line, Reading& r) {
    long value = 0;
    if (ReadNumber(line.cursor, INT16_MIN, kFDelayLimit - 1, &value)) {
        r.ctx.fDelay = static_cast<float>(static_cast<double>(value) * 0.1);
        Log(kLogError, "MERIX> fDelay = %.3fmsec", static_cast<double>(r.ctx.fDelay));
    }
}

// IFG = milliseconds below 5000: the gap before each request. Logged only when accepted.
void ReadIfg(Line& line, Reading& r) {
    long value = 0;
    if (ReadNumber(line.cursor, 0, kGapLimitMs - 1, &value)) {
        r.ctx.IFG = static_cast<uint16_t>(value);
        Log(kLogDetail, "MERIX> IFG is set to %u", static_cast<unsigned>(r.ctx.IFG));
    }
}

// TRACE_MAX = 1 to 4095 MiB: the size at which a trace begins its next file. Silent.
void ReadTraceMax(Line& line, Reading& r) {
    long value = 0;
    if (ReadNumber(line.cursor, 1, kTraceMaxMiB, &value) && r.settings != nullptr) {
        r.settings->trace.maxMiB = static_cast<int>(value);
    }
}

// TRACE = a file name, in the case written: the line trace. Cut short, the name would be
// another file's, so a cut line is illegal.
void ReadTrace(Line& line, Reading& r) {
    if (line.cut) {
        RefuseLine(line, r);
        return;
    }
    if (r.settings == nullptr) {
        return;
    }
    TraceSettings& trace = r.settings->trace;
    ReadOriginalValue(line.original + (line.cursor - line.text), trace.path);
    if (trace.path[0] == '\0') {
        Log(kLogError, "MERIX> ReadIntFile() TRACE names no file in '%s'", r.fileName);
    }
}

// CAPTURE = a file name, in the case written: the line as a capture for Wireshark. Read as
// TRACE is, and for the same reason.
void ReadCapture(Line& line, Reading& r) {
    if (line.cut) {
        RefuseLine(line, r);
        return;
    }
    if (r.settings == nullptr) {
        return;
    }
    auto& path = r.settings->trace.capturePath;
    ReadOriginalValue(line.original + (line.cursor - line.text), path);
    if (path[0] == '\0') {
        Log(kLogError, "MERIX> ReadIntFile() CAPTURE names no file in '%s'", r.fileName);
    }
}

/// ON | OFF | 1 | 0, and nothing but blanks behind it, into the switch `member`; `name` in its
/// line. Anything else is illegal: a half-read word ("ONE", "10") must not switch anything.
void ReadSwitch(Line& line, Reading& r, bool InstanceSettings::*member, const char* name) {
    const int word = MatchKeyword(line.cursor, kRs485Words, ' ');
    const bool whole = *line.cursor == '\0' || *line.cursor == '\n';
    if (word < 0 || !whole || line.cut) {
        RefuseLine(line, r);
        return;
    }
    const bool on = word % 2 == 1;
    if (r.settings != nullptr) {
        r.settings->*member = on;
    }
    Log(kLogError, "MERIX> %s = %s", name, on ? "ON" : "OFF");
}

// RS485: the port's own direction control.
void ReadRs485(Line& line, Reading& r) {
    ReadSwitch(line, r, &InstanceSettings::rs485, "RS485");
}

// PORT = the port to open in place of the host's name: a device path of any length, or a
// device server's tcp://HOST:PORT or rfc2217://HOST:PORT. Cut short, empty, or a network
// name that does not read, it is illegal: opening half a name would reach another port.
void ReadPort(Line& line, Reading& r) {
    char port[sizeof InstanceSettings::port];
    ReadOriginalValue(line.original + (line.cursor - line.text), port);
    plat::NetAddress address;
    if (line.cut || port[0] == '\0' ||
        (plat::KindOfName(port) != plat::PortKind::kDevice &&
         !plat::ParseNetAddress(port, &address))) {
        RefuseLine(line, r);
        return;
    }
    if (r.settings != nullptr) {
        std::memcpy(r.settings->port, port, sizeof port);
    }
    Log(kLogError, "MERIX> PORT = %s", port);
}

/// A whole number in [lo, hi] and nothing but blanks behind it, into the setting `member`;
/// anything else is an illegal line and leaves the setting as it was. `format` logs the value.
void ReadBounded(Line& line, Reading& r, long lo, long hi, int InstanceSettings::*member,
                 const char* format) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(line.cursor, &end, 10);
    const char* rest = end;
    while (*rest == ' ' || *rest == '\t') {
        ++rest;
    }
    const bool whole = *rest == '\0' || *rest == '\n';
    if (end == line.cursor || errno == ERANGE || v < lo || v > hi || !whole || line.cut) {
        RefuseLine(line, r);
        return;
    }
    if (r.settings != nullptr) {
        r.settings->*member = static_cast<int>(v);
    }
    Log(kLogError, format, v);
}

// DEMOTE = 0 to 3600 seconds: how long a station that failed for good is set aside; 0, never.
void ReadDemote(Line& line, Reading& r) {
    ReadBounded(line, r, 0, kMaxDemoteSeconds, &InstanceSettings::demoteSeconds,
                "MERIX> DEMOTE = %ld s");
}

// RETRIES = 1 to 10: the attempts of a transaction.
void ReadRetries(Line& line, Reading& r) {
    ReadBounded(line, r, 1, kMaxAttempts, &InstanceSettings::attempts, "MERIX> RETRIES = %ld");
}

// RETRY_PAUSE = 0 to 5000 ms: the pause before each retry.
void ReadRetryPause(Line& line, Reading& r) {
    ReadBounded(line, r, 0, kMaxRetryPauseMs, &InstanceSettings::retryPauseMs,
                "MERIX> RETRY_PAUSE = %ld ms");
}

// ECHO: the line echoes every request (a transceiver that hears itself).
void ReadEcho(Line& line, Reading& r) {
    ReadSwitch(line, r, &InstanceSettings::echo, "ECHO");
}

// WRITE = NONE | <gate> | <gate>-<gate> | <station> | $TIME: what the host may write, line by
// line adding up (transactions/write_permission.h). Every WRITE line restricts the writes, the
// illegal ones too: a plant that wrote one meant to, and what it allows cannot be told.
void ReadWrite(Line& line, Reading& r) {
    if (r.settings == nullptr) {
        return;
    }
    WriteRules& rules = r.settings->writes;
    if (line.cut) {
        rules.restricted = true;
        RefuseLine(line, r);
        return;
    }
    char value[kLineBufferSize];
    ReadOriginalValue(line.cursor, value); // upper-cased by the keyword's match
    switch (AddWriteLine(rules, value, r.ctx)) {
    case WriteLine::kAdded:
    case WriteLine::kNone:
        Log(kLogError, "MERIX> WRITE = %s", value);
        break;
    case WriteLine::kFull:
        Log(kLogError, "MERIX> ReadIntFile() more than %d WRITE lines: line %u allows nothing",
            kMaxWriteRules, r.lineCount);
        LogIllegalLine(r);
        break;
    case WriteLine::kMalformed:
        LogIllegalLine(r);
        break;
    }
}

// JOURNAL = a file name, in the case written: every write on record. Any JOURNAL line asks for
// a journal; one whose name is cut short or missing names none, and without it the instance
// writes nothing.
void ReadJournal(Line& line, Reading& r) {
    if (r.settings == nullptr) {
        return;
    }
    r.settings->journalWanted = true;
    auto& path = r.settings->journal;
    path[0] = '\0';
    if (line.cut) {
        RefuseLine(line, r);
        return;
    }
    ReadOriginalValue(line.original + (line.cursor - line.text), path);
    if (path[0] == '\0') {
        LogIllegalLine(r);
    }
}

// VERIFY: a confirmed write is read back.
void ReadVerify(Line& line, Reading& r) {
    ReadSwitch(line, r, &InstanceSettings::verify, "VERIFY");
}

struct Keyword {
    IniKeyword keyword;
    void (*read)(Line& line, Reading& r);
};

// The reader of each keyword, in the order of their names (config/ini_names.h).
constexpr Keyword kKeywords[] = {
    {IniKeyword::kDebug, ReadDebug},     {IniKeyword::kSend, ReadSend},
    {IniKeyword::kReceive, ReadReceive}, {IniKeyword::kFDelay, ReadFDelay},
    {IniKeyword::kIfg, ReadIfg},         {IniKeyword::kTraceMax, ReadTraceMax},
    {IniKeyword::kTrace, ReadTrace},     {IniKeyword::kRs485, ReadRs485},
    {IniKeyword::kPort, ReadPort},       {IniKeyword::kCapture, ReadCapture},
    {IniKeyword::kDemote, ReadDemote},   {IniKeyword::kRetryPause, ReadRetryPause},
    {IniKeyword::kRetries, ReadRetries}, {IniKeyword::kEcho, ReadEcho},
    {IniKeyword::kWrite, ReadWrite},     {IniKeyword::kJournal, ReadJournal},
    {IniKeyword::kVerify, ReadVerify},
};

consteval bool ReadersInOrder() {
    if (std::size(kKeywords) != std::size(kIniKeywordNames)) {
        return false;
    }
    for (std::size_t i = 0; i < std::size(kKeywords); ++i) {
        if (static_cast<std::size_t>(kKeywords[i].keyword) != i) {
            return false;
        }
    }
    return true;
}
static_assert(ReadersInOrder(), "one reader for each keyword, in the order of their names");

// The names as MatchKeyword takes them, ended by an empty string.
constexpr auto kKeywordNames = [] {
    std::array<const char*, std::size(kIniKeywordNames) + 1> names{};
    for (std::size_t i = 0; i < std::size(kIniKeywordNames); ++i) {
        names[i] = kIniKeywordNames[i].data();
    }
    names.back() = "";
    return names;
}();

/// Opens "MERIX%02d.INT", or else "MERIX%02d.INI"; `name` keeps the name last tried.
std::FILE* OpenIntFile(uint32_t driverNumber, char (&name)[32]) {
    const int number = static_cast<int>(driverNumber);
    for (const char* format : kIniFileFormats) {
        std::snprintf(name, sizeof name, format, number);
        if (std::FILE* file = std::fopen(name, "r")) {
            return file;
        }
    }
    return nullptr;
}

/// The next line that is not a comment, counted with the comments before it.
bool NextSetting(Reading& r, Line& line) {
    while (ReadPiece(r.file, line.text, &line.cut)) {
        ++r.lineCount;
        if (line.text[0] == ';') {
            continue;
        }
        FoldCrLf(line.text);
        std::memcpy(line.original, line.text, std::strlen(line.text) + 1);
        line.cursor = line.text;
        return true;
    }
    return false;
}

void ApplySetting(Line& line, Reading& r) {
    const int keyword = MatchKeyword(line.cursor, kKeywordNames.data(), '=');
    if (keyword >= 0) {
        kKeywords[keyword].read(line, r);
    } else if (line.text[0] != '\n') {
        LogIllegalLine(r);
    }
}

void ReadSettings(Reading& r) {
    Line line;
    while (NextSetting(r, line)) {
        ApplySetting(line, r);
    }
    Log(kLogDetail, "MERIX> Total lines read : %d", static_cast<int>(r.lineCount));
}

void SetLineMasks(const Reading& r) {
    Log(kLogDetail, "MERIX> SEND : DTR(%d), RTS(%d) ; RECEIVE : DTR(%d), RTS(%d)",
        static_cast<int>(r.send.dtr), static_cast<int>(r.send.rts), static_cast<int>(r.receive.dtr),
        static_cast<int>(r.receive.rts));
    r.ctx.SendMask = LineMask(r.send);
    r.ctx.RecMask = LineMask(r.receive);
}

void UseDefaultLineMasks(DriverContext& ctx) {
    ctx.SendMask = kLineDtr;
    ctx.RecMask = 0;
    Log(kLogError, "MERIX> INI File is not found Default parmeters are used");
    Log(kLogError, "MERIX> SEND:RTS=OFF DTR=ON, RECEIVE:RTS=OFF DTR=OFF");
}

} // namespace

void ReadIntFile(CallBlock* cb, InstanceSettings* settings) {
    DriverContext& ctx = *cb->context;
    // Room for any 32-bit number: "MERIX" + "-2147483648" + ".INT" + zero.
    char fileName[32];
    std::FILE* file = OpenIntFile(cb->driverNumber, fileName);
    Log(kLogError, "MERIX> Opening Initialisation file '%s'", fileName);
    if (file == nullptr) {
        UseDefaultLineMasks(ctx);
    } else {
        Reading r{ctx, settings, file, fileName};
        ReadSettings(r);
        std::fclose(file);
        SetLineMasks(r);
    }
    Log(kLogDetail, "MERIX> SendMask %04x, RecMask %04x", ctx.SendMask, ctx.RecMask);
    Log(kLogError, "MERIX> ReadIntFile() IFG = %hu", ctx.IFG);
}

} // namespace merix
