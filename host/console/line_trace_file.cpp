#include "host/console/line_trace_file.h"

#include <cctype>
#include <fstream>
#include <random>
#include <sstream>

#include <fmt/format.h>

namespace merixhost {

namespace fs = std::filesystem;

namespace {

// "TRACE = ..." but not "TRACE_MAX = ...", as the driver matches keywords: case-insensitive,
// after leading blanks.
bool IsTraceLine(const std::string& line) {
    size_t at = line.find_first_not_of(' ');
    if (at == std::string::npos || line.size() - at < 5) {
        return false;
    }
    std::string word = line.substr(at, 5);
    for (char& c : word) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (word != "TRACE") {
        return false;
    }
    at = line.find_first_not_of(' ', at + 5);
    return at != std::string::npos && line[at] == '=';
}

} // namespace

TracedIniDir::~TracedIniDir() {
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

bool TracedIniDir::Make(const fs::path& iniDir, uint32_t driverNumber, const fs::path& traceFile,
                        std::string* error) {
    std::string content;
    for (const char* ext : {"INT", "INI"}) {
        const fs::path own = iniDir / fmt::format("MERIX{:02}.{}", driverNumber, ext);
        std::ifstream in(own, std::ios::binary);
        if (in) {
            std::ostringstream text;
            for (std::string line; std::getline(in, line);) {
                if (!IsTraceLine(line)) {
                    text << line << '\n';
                }
            }
            content = text.str();
            break;
        }
    }
    // The driver's lines hold 255 characters; a longer name would be cut.
    const std::string traceLine = "TRACE = " + traceFile.string();
    if (traceLine.size() > 250) {
        *error = "the trace file's path is too long for the driver: " + traceFile.string();
        return false;
    }
    std::random_device random;
    std::error_code ec;
    for (int attempt = 0; attempt < 16 && dir_.empty(); ++attempt) {
        const fs::path candidate =
            fs::temp_directory_path(ec) / fmt::format("merixhost-{:08x}", random());
        if (!ec && fs::create_directory(candidate, ec)) {
            dir_ = candidate;
        }
    }
    if (dir_.empty()) {
        *error = "cannot make a scratch directory for the traced initialisation file";
        return false;
    }
    // .INT: the name the driver tries first.
    std::ofstream out(dir_ / fmt::format("MERIX{:02}.INT", driverNumber), std::ios::binary);
    out << content << traceLine << '\n';
    if (!out) {
        *error = "cannot write the traced initialisation file in " + dir_.string();
        return false;
    }
    return true;
}

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
