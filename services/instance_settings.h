// What the initialisation file sets for an instance beyond the fields of its context record,
// whose layout the host fixes. ColdStart reads the file into it; it lives in the instance's
// room.
#pragma once

namespace merix {

/// The line trace: TRACE = <file>, TRACE_MAX = <MiB>; and the line capture, CAPTURE = <file>,
/// which rotates at the same size.
struct TraceSettings {
    char path[256] = {}; ///< empty: no trace
    int maxMiB = 16;
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
};

} // namespace merix
