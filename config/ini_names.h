// The initialisation file's names, as the driver reads the file and as tools that write one
// for it (merixhost) must write it: the file's name, how long a line may be, and the keywords.
// Nothing else defines them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace merix {

/// The instance's file, "MERIX%02d.INT", tried first, or else "MERIX%02d.INI".
inline constexpr const char* kIniFileFormats[] = {"MERIX%02d.INT", "MERIX%02d.INI"};

/// The characters a line may hold; the rest of a longer line is a line of its own.
inline constexpr std::size_t kIniLineLength = 255;

/// The keywords, in the order the driver tries them as prefixes of a line, each followed by
/// "=": a keyword that begins a longer one (TRACE, TRACE_MAX) comes after it.
enum class IniKeyword : uint8_t {
    kDebug,
    kSend,
    kReceive,
    kFDelay,
    kIfg,
    kTraceMax,
    kTrace,
    kRs485,
    kPort,
    kCapture,
    kDemote,
    kRetryPause,
    kRetries,
    kEcho,
    kWrite,
    kJournal,
    kVerify,
    kEnd, ///< not a keyword: how many there are
};

/// Their names; index by the keyword.
inline constexpr std::string_view kIniKeywordNames[] = {
    "DEBUG",   "SEND",   "RECEIVE",     "FDELAY",  "IFG",  "TRACE_MAX", "TRACE",   "RS485",  "PORT",
    "CAPTURE", "DEMOTE", "RETRY_PAUSE", "RETRIES", "ECHO", "WRITE",     "JOURNAL", "VERIFY",
};
static_assert(std::size(kIniKeywordNames) == static_cast<std::size_t>(IniKeyword::kEnd),
              "every keyword has a name, in the order of the enum");

constexpr std::string_view IniKeywordName(IniKeyword keyword) {
    return kIniKeywordNames[static_cast<std::size_t>(keyword)];
}

/// No keyword begins with one tried before it, which would take its lines.
consteval bool KeywordsTriedLongestFirst() {
    for (std::size_t i = 0; i < std::size(kIniKeywordNames); ++i) {
        for (std::size_t j = i + 1; j < std::size(kIniKeywordNames); ++j) {
            if (kIniKeywordNames[j].starts_with(kIniKeywordNames[i])) {
                return false;
            }
        }
    }
    return true;
}
static_assert(KeywordsTriedLongestFirst(), "a keyword is tried before a longer one it begins");

} // namespace merix
