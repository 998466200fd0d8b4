#include "host/console/scan_lists.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "serial/line_settings_text.h"

namespace merixhost {
namespace {

/// The items between the commas; an empty item stays, so that "9600,,19200" is refused.
std::vector<std::string> Items(const std::string& text) {
    std::vector<std::string> items;
    size_t from = 0;
    for (;;) {
        const size_t comma = text.find(',', from);
        items.push_back(text.substr(from, comma == std::string::npos ? comma : comma - from));
        if (comma == std::string::npos) {
            return items;
        }
        from = comma + 1;
    }
}

std::optional<int> Number(const std::string& text, int low, int high) {
    int value = 0;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(text.data(), last, value);
    if (text.empty() || ec != std::errc() || end != last || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<int> ParityCode(const std::string& name) {
    static const std::pair<const char*, int> kNames[] = {
        {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4},
        {"N", 0},    {"O", 1},   {"E", 2},    {"M", 3},    {"S", 4}};
    for (const auto& [known, code] : kNames) {
        if (name == known) {
            return code;
        }
    }
    return std::nullopt;
}

std::string ParityName(int code) {
    return code >= 0 ? merix::ParityName(static_cast<uint32_t>(code)) : "?";
}

std::optional<std::vector<int>> ParseBaudList(const std::string& text) {
    std::vector<int> rates;
    for (const auto& item : Items(text)) {
        const auto rate = Number(item, 50, 65535);
        if (!rate) {
            return std::nullopt;
        }
        rates.push_back(*rate);
    }
    return rates;
}

std::optional<std::vector<int>> ParseParityList(const std::string& text) {
    std::vector<int> codes;
    for (const auto& item : Items(text)) {
        const auto code = ParityCode(item);
        if (!code) {
            return std::nullopt;
        }
        codes.push_back(*code);
    }
    return codes;
}

std::optional<std::vector<int>> ParseStationList(const std::string& text) {
    std::vector<int> stations;
    for (const auto& item : Items(text)) {
        const size_t dash = item.find('-');
        const auto first = Number(item.substr(0, dash), 1, 31);
        const auto last = dash == std::string::npos ? first : Number(item.substr(dash + 1), 1, 31);
        if (!first || !last || *last < *first) {
            return std::nullopt;
        }
        for (int s = *first; s <= *last; ++s) {
            stations.push_back(s);
        }
    }
    std::sort(stations.begin(), stations.end());
    stations.erase(std::unique(stations.begin(), stations.end()), stations.end());
    return stations;
}

std::string StationListText(const std::vector<int>& stations) {
    std::string text;
    for (size_t i = 0; i < stations.size();) {
        size_t end = i;
        while (end + 1 < stations.size() && stations[end + 1] == stations[end] + 1) {
            ++end;
        }
        text += (text.empty() ? "" : ",") + std::to_string(stations[i]);
        if (end > i) {
            text += "-" + std::to_string(stations[end]);
        }
        i = end + 1;
    }
    return text;
}

} // namespace merixhost
