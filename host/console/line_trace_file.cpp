#include "host/console/line_trace_file.h"

#include <cctype>
#include <fstream>
#include <random>
#include <sstream>

#include <fmt/format.h>

namespace merixhost {

namespace fs = std::filesystem;

TraceTail::TraceTail(fs::path file, size_t keep) : file_(std::move(file)), keep_(keep) {
    std::error_code ec;
    const auto size = fs::file_size(file_, ec);
    offset_ = ec ? 0 : static_cast<long>(size);
}

TraceTail::~TraceTail() {
    if (in_ != nullptr) {
        std::fclose(in_);
    }
}

void TraceTail::Poll() {
    std::error_code ec;
    const auto size = fs::file_size(file_, ec);
    if (ec) {
        return;
    }
    // A file shorter than what was read is a new one: the driver rotated the full one.
    if (static_cast<long>(size) < offset_) {
        if (in_ != nullptr) {
            std::fclose(in_);
            in_ = nullptr;
        }
        offset_ = 0;
        partial_.clear();
    }
    if (in_ == nullptr) {
        in_ = std::fopen(file_.string().c_str(), "rb");
        if (in_ == nullptr) {
            return;
        }
    }
    std::fseek(in_, offset_, SEEK_SET);
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, in_)) > 0) {
        offset_ += static_cast<long>(n);
        partial_.append(buffer, n);
    }
    size_t start = 0;
    for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
        recent_.push_back(partial_.substr(start, end - start));
        if (recent_.size() > keep_) {
            recent_.pop_front();
        }
    }
    partial_.erase(0, start);
}

} // namespace merixhost
