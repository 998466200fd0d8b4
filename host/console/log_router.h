// Where the driver's log lines go: every line to the log file, lines at or above the screen
// level to the screen (at once, or kept for the live table), and each line to a tap that
// the scanner uses to count retries and to explain refusals.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>

#include "host/console/time_text.h"
#include "host/qorlib_control.h"

namespace merixhost {

struct ScreenLine {
    SystemTime at;
    int level = 0;
    std::string text;
};

class LogRouter {
public:
    LogRouter() = default;
    ~LogRouter();
    LogRouter(const LogRouter&) = delete;
    LogRouter& operator=(const LogRouter&) = delete;

    /// Appends to `path`; false with `error` set when it cannot be opened.
    bool OpenFile(const std::string& path, std::string* error);
    void SetScreenLevel(int level) { screenLevel_ = level; }
    int ScreenLevel() const { return screenLevel_; }
    /// True: screen lines are printed to stdout as they come; false: kept for the table.
    void SetDirect(bool direct) { direct_ = direct; }
    void SetTap(std::function<void(const qorlib::LogLine&)> tap) { tap_ = std::move(tap); }
    /// Every line, with its time, whatever the screen level (the run report's notes).
    void SetWatch(std::function<void(const ScreenLine&)> watch) { watch_ = std::move(watch); }

    /// Takes the stand-in host library's log sink.
    void Install();
    /// Gives it back; the file is flushed.
    void Uninstall();

    /// The newest screen lines, oldest first.
    const std::deque<ScreenLine>& Recent() const { return recent_; }
    uint64_t Lines() const { return lines_; }

private:
    void Take(const qorlib::LogLine& line);

    std::FILE* file_ = nullptr;
    int screenLevel_ = 32;
    bool direct_ = true;
    std::function<void(const qorlib::LogLine&)> tap_;
    std::function<void(const ScreenLine&)> watch_;
    std::deque<ScreenLine> recent_;
    uint64_t lines_ = 0;
};

} // namespace merixhost
