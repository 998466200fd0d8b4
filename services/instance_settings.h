// What the initialisation file sets for an instance beyond the fields of its context record,
// whose layout the host fixes. ColdStart reads the file into it; it lives in the instance's
// room.
#pragma once

#include <cstdint>

namespace merix {

/// The size at which a trace or a capture begins its next file, unless TRACE_MAX says another.
inline constexpr int kDefaultTraceMiB = 16;

/// The line trace: TRACE = <file>, TRACE_MAX = <MiB>; and the line capture, CAPTURE = <file>,
/// which rotates at the same size.
struct TraceSettings {
    char path[256] = {}; ///< empty: no trace
    int maxMiB = kDefaultTraceMiB;
    char capturePath[256] = {}; ///< empty: no capture
};

/// The attempts of a transaction and the pause before each retry, unless RETRIES and
/// RETRY_PAUSE say otherwise.
inline constexpr int kDefaultAttempts = 5;
inline constexpr int kMaxAttempts = 10;
inline constexpr int kDefaultRetryPauseMs = 50;
inline constexpr int kMaxRetryPauseMs = 5000;
/// DEMOTE's longest period, in seconds.
inline constexpr int kMaxDemoteSeconds = 3600;

/// What one WRITE line lets the host write.
enum class WriteRuleKind : uint8_t {
    kGates,   ///< `first` to `last` of one station and read function, both ends included
    kStation, ///< every coil and register of one station
    kTime,    ///< the clock broadcast ($TIME)
};

struct WriteRule {
    WriteRuleKind kind = WriteRuleKind::kGates;
    int32_t station = 0;
    int32_t function = 0; ///< the gate's read function: 1 coils, 3 registers
    int32_t first = 0;
    int32_t last = 0;
};

/// WRITE lines beyond this many are illegal lines.
inline constexpr int kMaxWriteRules = 64;

/// WRITE = NONE | <gate> | <gate>-<gate> | <station> | $TIME, one line each, adding up.
/// Without any WRITE line every write goes out; with one, only what a rule names.
struct WriteRules {
    bool restricted = false; ///< a WRITE line was read, legal or not
    int count = 0;
    WriteRule rules[kMaxWriteRules] = {};
};

struct InstanceSettings {
    TraceSettings trace;
    /// RS485 = ON: the port is asked to switch the line direction itself.
    bool rs485 = false;
    /// PORT = a device path of any length, tcp://HOST:PORT or rfc2217://HOST:PORT: opened in
    /// place of the host's port name. Empty: the host's name.
    char port[256] = {};
    /// DEMOTE = seconds: a station whose transaction failed for good is set aside that long;
    /// 0, off.
    int demoteSeconds = 0;
    /// RETRIES = attempts per transaction, 1 to kMaxAttempts.
    int attempts = kDefaultAttempts;
    /// RETRY_PAUSE = ms before each retry, 0 to kMaxRetryPauseMs.
    int retryPauseMs = kDefaultRetryPauseMs;
    /// ECHO = ON: the line hears its own requests; each request's echo is read and compared
    /// before the reply.
    bool echo = false;
    /// WRITE lines: what may be written into the controllers.
    WriteRules writes;
    /// JOURNAL = a file, in the case written: one line for every write into a controller.
    char journal[256] = {};
    /// A JOURNAL line was read, legal or not: without a journal to write, nothing is written.
    bool journalWanted = false;
    /// VERIFY = ON: a confirmed write is read back and compared.
    bool verify = false;
};

} // namespace merix
