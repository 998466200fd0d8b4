// The driver's line trace as merixhost --trace sets it up and shows it: the driver reads
// "TRACE = <file>" from its initialisation file at ColdStart, so merixhost hands it a copy of
// that file with the line added, and follows the trace file for the live table.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <string>

namespace merixhost {

/// A scratch directory holding the instance's initialisation file with "TRACE = <file>":
/// the user's own file from `iniDir` (MERIXnn.INT, else .INI), if there is one, without its
/// TRACE line. The driver reads it while the current directory is `Path()`; the directory is
/// removed with this object.
class TracedIniDir {
public:
    TracedIniDir() = default;
    ~TracedIniDir();
    TracedIniDir(const TracedIniDir&) = delete;
    TracedIniDir& operator=(const TracedIniDir&) = delete;

    /// False with `error` set when the directory or the file cannot be made.
    bool Make(const std::filesystem::path& iniDir, uint32_t driverNumber,
              const std::filesystem::path& traceFile, std::string* error);
    const std::filesystem::path& Path() const { return dir_; }

private:
    std::filesystem::path dir_;
};

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
