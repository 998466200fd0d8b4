// Scenario files: a line, its stations, their values, events and faults, in JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/line_timing.h"
#include "sim/station.h"

namespace h51sim {

class Simulator;

enum class Table { Coils, DiscreteInputs, HoldingRegisters, InputRegisters };

struct TableValues {
    Table table = Table::HoldingRegisters;
    uint32_t address = 0;
    std::vector<uint16_t> values; ///< bits as 0 or 1
};

struct FaultSetup {
    Fault fault;
    unsigned count = 0;       ///< scripted: the next `count` replies
    double probability = 0.0; ///< random, when `count` is 0
};

struct ScriptedEvent {
    uint32_t atMs = 0; ///< after the scenario is applied
    uint16_t number = 0;
    bool value = false;
};

struct StationSetup {
    StationConfig config;
    std::vector<TableValues> values;
    std::vector<ScriptedEvent> events;
    std::vector<FaultSetup> faults;
};

struct Scenario {
    LineConfig line;
    std::vector<StationSetup> stations;
};

/// Reads a scenario from JSON text, starting from `base` for the line settings the text
/// leaves out. Unknown keys and out-of-range values are errors, reported with their place.
bool ParseScenario(const std::string& text, const LineConfig& base, Scenario& out,
                   std::string* error);

/// Adds the stations to `sim` and sets their values, faults and scripted events (timed
/// from now).
bool ApplyScenario(const Scenario& scenario, Simulator& sim, std::string* error);

} // namespace h51sim
