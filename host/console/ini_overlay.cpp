#include "host/console/ini_overlay.h"

#include <cctype>
#include <fstream>
#include <random>
#include <sstream>

#include <fmt/format.h>
#include <fmt/printf.h>

#include "config/ini_names.h"

namespace merixhost {

namespace fs = std::filesystem;

namespace {

/// True for "KEYWORD = ..." as the driver matches keywords: case-insensitive, after leading
/// blanks, and with "=" after the word, so that TRACE does not take TRACE_MAX's line.
bool SetsKeyword(const std::string& line, std::string_view keyword) {
    size_t at = line.find_first_not_of(' ');
    if (at == std::string::npos || line.size() - at < keyword.size()) {
        return false;
    }
    for (size_t i = 0; i < keyword.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(line[at + i])) != keyword[i]) {
            return false;
        }
    }
    at = line.find_first_not_of(' ', at + keyword.size());
    return at != std::string::npos && line[at] == '=';
}

bool SetsAny(const std::string& line, const std::vector<IniSetting>& settings) {
    for (const auto& [keyword, value] : settings) {
        if (SetsKeyword(line, merix::IniKeywordName(keyword))) {
            return true;
        }
    }
    return false;
}

} // namespace

IniOverlay::~IniOverlay() {
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

bool IniOverlay::Enter(const fs::path& iniDir, uint32_t driverNumber,
                       const std::vector<IniSetting>& settings, std::string* error) {
    if (settings.empty()) {
        return true;
    }
    if (!Make(iniDir, driverNumber, settings, error)) {
        return false;
    }
    std::error_code ec;
    fs::current_path(dir_, ec);
    if (ec) {
        *error = fmt::format("cannot change to {}: {}", dir_.string(), ec.message());
        return false;
    }
    iniDir_ = iniDir;
    return true;
}

void IniOverlay::Leave() {
    if (!iniDir_.empty()) {
        std::error_code ec;
        fs::current_path(iniDir_, ec);
        iniDir_.clear();
    }
}

bool IniOverlay::Make(const fs::path& iniDir, uint32_t driverNumber,
                      const std::vector<IniSetting>& settings, std::string* error) {
    std::string content;
    for (const char* format : merix::kIniFileFormats) {
        const fs::path own = iniDir / fmt::sprintf(format, driverNumber);
        std::ifstream in(own, std::ios::binary);
        if (in) {
            std::ostringstream text;
            for (std::string line; std::getline(in, line);) {
                if (!SetsAny(line, settings)) {
                    text << line << '\n';
                }
            }
            content = text.str();
            break;
        }
    }
    for (const auto& [keyword, value] : settings) {
        const std::string line = fmt::format("{} = {}", merix::IniKeywordName(keyword), value);
        // A longer line would reach the driver in two pieces, the setting cut.
        if (line.size() > merix::kIniLineLength) {
            *error = fmt::format("{} is too long for the driver's initialisation file: {}",
                                 merix::IniKeywordName(keyword), value);
            return false;
        }
        content += line + '\n';
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
        *error = "cannot make a scratch directory for the driver's initialisation file";
        return false;
    }
    // The name the driver tries first.
    std::ofstream out(dir_ / fmt::sprintf(merix::kIniFileFormats[0], driverNumber),
                      std::ios::binary);
    out << content;
    if (!out) {
        *error = "cannot write the driver's initialisation file in " + dir_.string();
        return false;
    }
    return true;
}

} // namespace merixhost
