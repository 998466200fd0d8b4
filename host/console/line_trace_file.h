// The driver's line trace as merixhost --trace shows it: merixhost follows the trace file for
// the live table (the driver is told of the file by TRACE in its initialisation file, which
// ini_overlay.h writes).
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <string>

namespace merixhost {

/// Follows a trace file as the driver appends to it (and starts anew when it is rotated),
/// keeping its newest lines.
class TraceTail {
public:
    /// Follows `file` from its present end: what an earlier run left is not shown.
    explicit TraceTail(std::filesystem::path file, size_t keep = 6);
    ~TraceTail();
    TraceTail(const TraceTail&) = delete;
    TraceTail& operator=(const TraceTail&) = delete;

    /// Reads what was added since the last call.
    void Poll();
    const std::deque<std::string>& Recent() const { return recent_; }

private:
    std::filesystem::path file_;
    size_t keep_;
    std::FILE* in_ = nullptr;
    long offset_ = 0;
    std::string partial_;
    std::deque<std::string> recent_;
};

} // namespace merixhost
