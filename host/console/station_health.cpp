#include "host/console/station_health.h"

namespace merixhost {

const char* HealthName(Health health) {
    switch (health) {
    case Health::kGood:
        break;
    case Health::kOutOfSpecification:
        return "out of spec";
    case Health::kFunctionCheck:
        return "function check";
    case Health::kFailure:
        return "failure";
    }
    return "good";
}

char HealthLetter(Health health) {
    static constexpr char kLetters[] = {' ', 'S', 'C', 'F'};
    return kLetters[static_cast<int>(health) & 3];
}

const char* HealthColour(Health health) {
    switch (health) {
    case Health::kGood:
        break;
    case Health::kOutOfSpecification:
        return "\x1b[33m";
    case Health::kFunctionCheck:
        return "\x1b[38;5;208m"; // orange, where the terminal has 256 colours
    case Health::kFailure:
        return "\x1b[31m";
    }
    return "\x1b[32m";
}

void StationHealth::Update(const StationTable& table, const uint32_t* plcState, SteadyTime now) {
    for (std::size_t st = 1; st < table.size(); ++st) {
        const StationStats& stats = table[st];
        const uint32_t state = plcState[st];
        auto& history = history_[st];
        const Sample sample{now, stats.Get(Counter::kRetry).value_or(0),
                            stats.Get(Counter::kCrc).value_or(0)};
        while (!history.empty() && now - history.front().at > kWindow) {
            history.pop_front();
        }
        // A counter lower than before was cleared: the minute starts afresh.
        if (!history.empty() &&
            (sample.retries < history.front().retries || sample.crc < history.front().crc)) {
            history.clear();
        }
        history.push_back(sample);
        const Sample& oldest = history.front();
        const bool rising = sample.retries > oldest.retries || sample.crc > oldest.crc;
        if (state == merix::kSwitchedOff) {
            health_[st] = Health::kFunctionCheck;
        } else if (state == merix::kInError || DemotionLeft(stats, state) > 0) {
            health_[st] = Health::kFailure;
        } else {
            health_[st] = rising ? Health::kOutOfSpecification : Health::kGood;
        }
    }
}

} // namespace merixhost
