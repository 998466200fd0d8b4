// The span of a timed operation: the line hold of a frame, the counter's calibration.
#pragma once

namespace merix {

/// Raises the calling thread to time-critical priority and the system timer to 1 ms for its
/// lifetime, and always puts both back: a host's thread left at real-time priority would
/// starve the rest of the machine. When the priority cannot be read, the thread is not raised
/// (there would be nothing to put back). Failures are logged as "MERIX> <operation>() ERROR setting
/// priority, rc %d" and "MERIX> <operation>() ERROR !!! RESETTING PRIORITY !!".
class TimeCriticalSection {
public:
    /// `operation` names the caller in the log lines: "Send", "ColdStart".
    explicit TimeCriticalSection(const char* operation);
    ~TimeCriticalSection() { Restore(); }
    TimeCriticalSection(const TimeCriticalSection&) = delete;
    TimeCriticalSection& operator=(const TimeCriticalSection&) = delete;

    /// Puts the priority and the timer back now; later calls, and the destructor, do nothing.
    void Restore();
    /// The thread's priority before the raise.
    int SavedPriority() const { return saved_; }

private:
    const char* operation_;
    int saved_;
    bool restored_ = false;
    bool raised_ = true; ///< false when the priority could not be read, so was left alone
};

} // namespace merix
