// What a listener heard, written as the driver writes its own line: the text trace (each
// request, its reply or silence, and the outcome, decoded by the driver's own words) and the
// pcapng capture (the driver's blocks and link type, so that Wireshark and wireshark/merix.lua
// read it alike). Frames with a bad CRC or cut short are kept, and marked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/console/sniff_model.h"

namespace merixhost {

/// Where the run's clocks meet: microseconds of the listener's clock at the start, and the
/// wall clock then.
struct SniffClock {
    int64_t startUs = 0;
    uint64_t startEpochUs = 0;
};

class SniffTrace {
public:
    SniffTrace() = default;
    ~SniffTrace();
    SniffTrace(const SniffTrace&) = delete;
    SniffTrace& operator=(const SniffTrace&) = delete;

    /// Appends to `path`, beginning with a line that names the port, its settings and the
    /// start. False, with `error` set, when it cannot be opened.
    bool Open(const std::string& path, const std::string& port, const std::string& settings,
              const SniffClock& clock, std::string* error);
    void Write(const Exchange& exchange);
    /// False once a write failed: the trace ends, what it holds stays.
    bool Flush();

private:
    void Line(int64_t us, const char* mark, const std::string& text);

    std::FILE* file_ = nullptr;
    SniffClock clock_;
};

class SniffCapture {
public:
    SniffCapture() = default;
    ~SniffCapture();
    SniffCapture(const SniffCapture&) = delete;
    SniffCapture& operator=(const SniffCapture&) = delete;

    /// A new file at `path` (emptied first), with its section and the port as its interface.
    bool Open(const std::string& path, const std::string& port, const std::string& settings,
              const SniffClock& clock, std::string* error);
    void Write(const Exchange& exchange);
    bool Flush();

private:
    void Packet(const HeardFrame& frame, bool request, const std::string& comment);

    std::FILE* file_ = nullptr;
    SniffClock clock_;
    bool failed_ = false;
};

/// The words of an outcome in a trace: "good", "no reply", "CRC BAD", ...
std::string OutcomeText(const Exchange& exchange);

} // namespace merixhost
