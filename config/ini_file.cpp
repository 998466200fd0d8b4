#include "config/ini_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/com_port.h"
#include "serial/transmitter.h"
#include "services/host_log.h"

namespace merix {

namespace {

// Every list ends with an empty string; the position of a word is its meaning.
constexpr const char* kLineKeywords[] = {"DEBUG", "SEND",      "RECEIVE", "FDELAY",
                                         "IFG",   "TRACE_MAX", "TRACE",   ""};
enum LineKeyword {
    kDebug = 0,
    kSend = 1,
    kReceive = 2,
    kFDelay = 3,
    kIfg = 4,
    kTraceMax = 5,
    kTrace = 6
};
constexpr const char* kLineNames[] = {"DTR", "RTS", ""};
enum LineName { kDtr = 0, kRts = 1 };
constexpr const char* kSwitchWords[] = {"OFF", "ON", ""};

// 255 characters and the terminating zero; a longer line comes back in pieces.
constexpr int kLineBufferSize = 256;
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

/// The file name behind TRACE =, in the case it was written (the keyword match upper-cases
/// the line), without the line end and trailing blanks.
void ReadTracePath(const char* original, TraceSettings& trace) {
    std::size_t n = std::strlen(original);
    while (n > 0 &&
           (original[n - 1] == '\n' || original[n - 1] == ' ' || original[n - 1] == '\t')) {
        --n;
    }
    n = std::min(n, sizeof trace.path - 1);
    std::memcpy(trace.path, original, n);
    trace.path[n] = '\0';
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
        const int c = std::fgetc(file);
        *cut = c != EOF; // the last line, without a line end, filled the buffer exactly
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

} // namespace

void ReadIntFile(CallBlock* cb, InstanceSettings* settings) {
    DriverContext& ctx = *cb->context;
    TraceSettings* trace = settings != nullptr ? &settings->trace : nullptr;
    // Room for any 32-bit number: "MERIX" + "-2147483648" + ".INT" + zero.
    char fileName[32];
    const int number = static_cast<int>(cb->driverNumber);
    std::snprintf(fileName, sizeof fileName, "MERIX%02d.INT", number);
    std::FILE* file = std::fopen(fileName, "r");
    if (file == nullptr) {
        std::snprintf(fileName, sizeof fileName, "MERIX%02d.INI", number);
        file = std::fopen(fileName, "r");
    }
    Log(kLogError, "MERIX> Opening Initialisation file '%s'", fileName);

    if (file == nullptr) {
        ctx.SendMask = kLineDtr;
        ctx.RecMask = 0;
        Log(kLogError, "MERIX> INI File is not found Default parmeters are used");
        Log(kLogError, "MERIX> SEND:RTS=OFF DTR=ON, RECEIVE:RTS=OFF DTR=OFF");
    } else {
        LineFlags send{1, 0};
        LineFlags receive{0, 0};
        unsigned lineCount = 0;
        char line[kLineBufferSize];
        bool cut = false;
        while (ReadPiece(file, line, &cut)) {
            ++lineCount;
            if (line[0] == ';') {
                continue;
            }
            FoldCrLf(line);
            char original[kLineBufferSize];
            std::memcpy(original, line, std::strlen(line) + 1);
            char* cursor = line;
            long value = 0;
            switch (MatchKeyword(cursor, kLineKeywords, '=')) {
            case kDebug: {
                const int word = MatchKeyword(cursor, kSwitchWords, ' ');
                if (word >= 0) {
                    ctx.debugFlag = static_cast<uint8_t>(word);
                }
                Log(kLogDetail, "MERIX> Debug information flag = %d", ctx.debugFlag);
                break;
            }
            case kSend:
                ReadPairs(cursor, send);
                Log(kLogError, "MERIX> SEND:DTR=%u RTS=%u", send.dtr, send.rts);
                break;
            case kReceive:
                ReadPairs(cursor, receive);
                Log(kLogError, "MERIX> RECEIVE:DTR=%u RTS=%u ", receive.dtr, receive.rts);
                break;
            case kFDelay:
                if (ReadNumber(cursor, INT16_MIN, kFDelayLimit - 1, &value)) {
                    ctx.fDelay = static_cast<float>(static_cast<double>(value) * 0.1);
                    Log(kLogError, "MERIX> fDelay = %.3fmsec", static_cast<double>(ctx.fDelay));
                }
                break;
            case kIfg:
                if (ReadNumber(cursor, 0, kGapLimitMs - 1, &value)) {
                    ctx.IFG = static_cast<uint16_t>(value);
                    Log(kLogDetail, "MERIX> IFG is set to %u", static_cast<unsigned>(ctx.IFG));
                }
                break;
            case kTraceMax:
                if (ReadNumber(cursor, 1, kTraceMaxMiB, &value) && trace != nullptr) {
                    trace->maxMiB = static_cast<int>(value);
                }
                break;
            case kTrace:
                if (cut) {
                    // Cut short, the name would be another file's.
                    SkipRestOfLine(file);
                    Log(kLogError, "MERIX> ReadIntFile() illegal line %u in '%s'", lineCount,
                        fileName);
                } else if (trace != nullptr) {
                    ReadTracePath(original + (cursor - line), *trace);
                    if (trace->path[0] == '\0') {
                        Log(kLogError, "MERIX> ReadIntFile() TRACE names no file in '%s'",
                            fileName);
                    }
                }
                break;
            default:
                if (line[0] != '\n') {
                    Log(kLogError, "MERIX> ReadIntFile() illegal line %u in '%s'", lineCount,
                        fileName);
                }
                break;
            }
        }
        Log(kLogDetail, "MERIX> Total lines read : %d", static_cast<int>(lineCount));
        std::fclose(file);

        Log(kLogDetail, "MERIX> SEND : DTR(%d), RTS(%d) ; RECEIVE : DTR(%d), RTS(%d)",
            static_cast<int>(send.dtr), static_cast<int>(send.rts), static_cast<int>(receive.dtr),
            static_cast<int>(receive.rts));
        ctx.SendMask = LineMask(send);
        ctx.RecMask = LineMask(receive);
    }
    Log(kLogDetail, "MERIX> SendMask %04x, RecMask %04x", ctx.SendMask, ctx.RecMask);
    Log(kLogError, "MERIX> ReadIntFile() IFG = %hu", ctx.IFG);
}

} // namespace merix
