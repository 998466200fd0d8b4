#include "host/console/scan_progress.h"

#include <algorithm>
#include <cstdio>

#include <fmt/format.h>

namespace merixhost {
namespace {

constexpr size_t kBarWidth = 30;
constexpr char kClearLine[] = "\r\x1b[K";

} // namespace

std::string ScanProgress::Bar(size_t done, size_t total, size_t width) {
    const size_t filled = total == 0 ? width : std::min(width, done * width / total);
    return fmt::format("[{}{}] {:>4}/{}", std::string(filled, '#'),
                       std::string(width - filled, '-'), done, total);
}

void ScanProgress::Step(const std::string& line, int station) {
    if (line != line_) {
        line_ = line;
        if (!ansi_) {
            fmt::print("trying {} ...\n", line);
            std::fflush(stdout);
        }
    }
    if (ansi_) {
        fmt::print("{}{}  {}, station {}", kClearLine, Bar(done_, total_, kBarWidth), line,
                   station);
        std::fflush(stdout);
        drawn_ = true;
    }
    ++done_;
}

void ScanProgress::Note(const std::string& text) {
    fmt::print("{}{}\n", ansi_ ? kClearLine : "", text);
    std::fflush(stdout);
    drawn_ = false;
}

void ScanProgress::Finish() {
    if (ansi_ && drawn_) {
        fmt::print("{}", kClearLine);
        std::fflush(stdout);
    }
    drawn_ = false;
}

} // namespace merixhost
