#include "host/console/counter_columns.h"

#include <cctype>

namespace merixhost {
namespace {

void AddRange(std::vector<Counter>& order, Counter first, size_t end) {
    for (auto i = static_cast<size_t>(first); i < end; ++i) {
        order.push_back(static_cast<Counter>(i));
    }
}

std::string WithUnit(Counter counter, char separator) {
    const std::string_view unit = CounterUnit(counter);
    return std::string(CounterName(counter)) + (unit.empty() ? "" : separator + std::string(unit));
}

} // namespace

std::vector<Counter> TableColumns() {
    // The ways a reply goes wrong side by side, in the order the driver meets them: silence,
    // then the line errors and cut replies that the later counters count, then the corrupted
    // and wrong replies they usually cause; the events and the turnaround after them. The
    // demotion's two last: they count no reply, but what the driver answered without the line.
    const auto demoted = static_cast<size_t>(Counter::kDemoted);
    const auto afterDemotion = static_cast<size_t>(Counter::kDemotedLeft) + 1;
    std::vector<Counter> order;
    AddRange(order, Counter::kOk, static_cast<size_t>(Counter::kCrc));
    AddRange(order, kFirstAddedCounter, demoted);
    AddRange(order, static_cast<Counter>(afterDemotion), kCounterCount);
    AddRange(order, Counter::kCrc, static_cast<size_t>(kFirstAddedCounter));
    AddRange(order, Counter::kDemoted, afterDemotion);
    return order;
}

int TableColumnWidth(Counter counter) {
    switch (counter) {
    case Counter::kOk: // the count that grows fastest
    case Counter::kTurnaround:
        return 8;
    case Counter::kEvents:
        return 7;
    case Counter::kFraming: // the port's line errors: rare, and three of them side by side
    case Counter::kParity:
    case Counter::kOverrun:
        return 5;
    default:
        return 6;
    }
}

std::string TableHeading(Counter counter) {
    return WithUnit(counter, ' ');
}

std::string StationsCsvHeader() {
    const auto column = [](Counter counter) {
        std::string name = WithUnit(counter, '_');
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return "," + name;
    };
    std::string header = "time,station";
    for (size_t i = 0; i < kCounterCount; ++i) {
        const auto counter = static_cast<Counter>(i);
        header += (counter == kFirstAddedCounter ? ",state" : "") + column(counter);
    }
    return header;
}

} // namespace merixhost
