#include "host/console/statistics_gates.h"

#include <cstring>

#include <fmt/format.h>

namespace merixhost {

std::string StatisticsGates::Address(int station, Counter counter) {
    return fmt::format("ST{:02}{}", station, CounterName(counter));
}

bool StatisticsGates::Add(DriverInstance& driver, int station, Counter counter) {
    Gate gate;
    gate.station = station;
    gate.counter = counter;
    const std::string address = Address(station, counter);
    gate.text.assign(address.begin(), address.end());
    gate.text.resize(16, '\0');
    gate.value.assign(4, 0);
    gates_.push_back(std::move(gate));
    Gate& added = gates_.back();
    merix::GateParseRecord parsed{};
    parsed.addressString = added.text.data();
    parsed.gateType = 0; // internal gates are of type 0
    parsed.bitNumber = -1;
    if (driver.ParseSingle(parsed) != 0) {
        refused_ = address;
        gates_.pop_back();
        return false;
    }
    added.rec.addressString = added.text.data();
    added.rec.station = parsed.station;
    added.rec.function = parsed.function;
    added.rec.address = parsed.address;
    added.rec.gateType = 0;
    added.rec.count = 1;
    added.rec.valuePtr = added.value.data();
    return true;
}

bool StatisticsGates::Prepare(DriverInstance& driver, const std::vector<int>& stations) {
    gates_.clear();
    refused_.clear();
    // The whole line's first counter comes first: it answers whether the driver keeps
    // statistics at all, so that a driver without them refuses one gate, not dozens.
    std::vector<int> all{0};
    all.insert(all.end(), stations.begin(), stations.end());
    for (int station : all) {
        for (size_t i = 0; i < kCounterCount; ++i) {
            if (!Add(driver, station, static_cast<Counter>(i))) {
                gates_.clear();
                return false;
            }
        }
    }
    return true;
}

void StatisticsGates::Read(DriverInstance& driver, StationTable& table) {
    for (auto& gate : gates_) {
        auto& slot =
            table[static_cast<size_t>(gate.station)].counters[static_cast<size_t>(gate.counter)];
        if (driver.Read(gate.rec) != 0) {
            slot.reset();
            continue;
        }
        // The host word is 16 bits wide: the driver's 32-bit counters arrive as their low
        // half, and a counter is never negative.
        uint16_t word = 0;
        std::memcpy(&word, gate.value.data() + 2, sizeof word);
        slot = word;
    }
}

} // namespace merixhost
