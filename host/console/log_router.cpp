#include "host/console/log_router.h"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace merixhost {
namespace {
constexpr size_t kRecentLines = 50;
}

LogRouter::~LogRouter() {
    Uninstall();
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool LogRouter::OpenFile(const std::string& path, std::string* error) {
    file_ = std::fopen(path.c_str(), "a");
    if (file_ == nullptr) {
        *error = fmt::format("cannot open the log file '{}': {}", path, std::strerror(errno));
        return false;
    }
    return true;
}

void LogRouter::Install() {
    qorlib::SetLogSink([this](const qorlib::LogLine& line) { Take(line); });
}

void LogRouter::Uninstall() {
    qorlib::SetLogSink(nullptr);
    if (file_ != nullptr) {
        std::fflush(file_);
    }
}

void LogRouter::Take(const qorlib::LogLine& line) {
    ++lines_;
    if (tap_) {
        tap_(line);
    }
    // One driver line ends in a line feed of its own; a file line ends here.
    std::string text = line.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    const SystemTime now = std::chrono::system_clock::now();
    if (file_ != nullptr) {
        fmt::print(file_, "{} [{:2}] {}\n", DateTimeText(now), line.level, text);
    }
    if (watch_) {
        watch_({now, line.level, text});
    }
    if (line.level < screenLevel_) {
        return;
    }
    if (direct_) {
        fmt::print("{} log [{:2}] {}\n", ClockText(now), line.level, text);
        std::fflush(stdout);
        return;
    }
    recent_.push_back({now, line.level, std::move(text)});
    if (recent_.size() > kRecentLines) {
        recent_.pop_front();
    }
}

} // namespace merixhost
