#include "sim/scenario.h"

#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string_view>

#include "sim/simulator.h"

namespace h51sim {

namespace {

using Json = nlohmann::json;

// Reads one JSON object with strict checks; the first problem is kept with its place.
class Reader {
public:
    explicit Reader(std::string* error) : error_(error) {}

    bool Fail(const std::string& where, const std::string& what) {
        if (error_ != nullptr) {
            *error_ = where + ": " + what;
        }
        return false;
    }

    bool Object(const Json& j, const std::string& where,
                std::initializer_list<std::string_view> allowed) {
        if (!j.is_object()) {
            return Fail(where, "must be an object");
        }
        for (const auto& item : j.items()) {
            bool known = false;
            for (const std::string_view key : allowed) {
                known = known || item.key() == key;
            }
            if (!known) {
                return Fail(where, "unknown key \"" + item.key() + "\"");
            }
        }
        return true;
    }

    template <typename T>
    bool Integer(const Json& j, const char* key, const std::string& where, T& out, int64_t min,
                 int64_t max) {
        if (!j.contains(key)) {
            return true;
        }
        const Json& v = j.at(key);
        if (!v.is_number_integer()) {
            return Fail(where + "." + key, "must be an integer");
        }
        const auto value = v.get<int64_t>();
        if (value < min || value > max) {
            return Fail(where + "." + key,
                        "must be " + std::to_string(min) + " to " + std::to_string(max));
        }
        out = static_cast<T>(value);
        return true;
    }

    bool Number(const Json& j, const char* key, const std::string& where, double& out, double min,
                double max) {
        if (!j.contains(key)) {
            return true;
        }
        const Json& v = j.at(key);
        if (!v.is_number()) {
            return Fail(where + "." + key, "must be a number");
        }
        const auto value = v.get<double>();
        if (!(value >= min && value <= max)) {
            return Fail(where + "." + key, "out of range");
        }
        out = value;
        return true;
    }

    bool Bool(const Json& j, const char* key, const std::string& where, bool& out) {
        if (!j.contains(key)) {
            return true;
        }
        const Json& v = j.at(key);
        if (v.is_boolean()) {
            out = v.get<bool>();
        } else if (v.is_number_integer() && (v.get<int64_t>() == 0 || v.get<int64_t>() == 1)) {
            out = v.get<int64_t>() == 1;
        } else {
            return Fail(where + "." + key, "must be true, false, 0 or 1");
        }
        return true;
    }

    bool Line(const Json& j, LineConfig& line) {
        if (!Object(
                j, "line",
                {"baud", "data_bits", "parity", "stop_bits", "turnaround_ms", "seed", "pacing"})) {
            return false;
        }
        if (!Integer(j, "baud", "line", line.baud, 50, 4000000) ||
            !Integer(j, "data_bits", "line", line.dataBits, 5, 8) ||
            !Integer(j, "stop_bits", "line", line.stopBits, 1, 2) ||
            !Number(j, "turnaround_ms", "line", line.turnaroundMs, 0.0, 59999.0) ||
            !Integer(j, "seed", "line", line.seed, 0, INT64_MAX) ||
            !Bool(j, "pacing", "line", line.pacing)) {
            return false;
        }
        if (j.contains("parity")) {
            const Json& p = j.at("parity");
            const std::string text = p.is_string() ? p.get<std::string>() : std::string();
            if (text == "none" || text == "N") {
                line.parity = Parity::None;
            } else if (text == "even" || text == "E") {
                line.parity = Parity::Even;
            } else if (text == "odd" || text == "O") {
                line.parity = Parity::Odd;
            } else {
                return Fail("line.parity", "must be \"none\", \"even\" or \"odd\"");
            }
        }
        return true;
    }

    bool Values(const Json& j, const std::string& where, std::vector<TableValues>& out) {
        static constexpr std::pair<const char*, Table> kTables[] = {
            {"coils", Table::Coils},
            {"discrete_inputs", Table::DiscreteInputs},
            {"holding_registers", Table::HoldingRegisters},
            {"input_registers", Table::InputRegisters},
        };
        if (!Object(j, where,
                    {"coils", "discrete_inputs", "holding_registers", "input_registers"})) {
            return false;
        }
        for (const auto& [key, table] : kTables) {
            if (!j.contains(key)) {
                continue;
            }
            const Json& list = j.at(key);
            const std::string at = where + "." + key;
            if (!list.is_array()) {
                return Fail(at, "must be a list of {\"address\", \"values\"}");
            }
            const int64_t max = table == Table::Coils || table == Table::DiscreteInputs ? 1 : 65535;
            for (size_t i = 0; i < list.size(); ++i) {
                const std::string item = at + "[" + std::to_string(i) + "]";
                TableValues tv;
                tv.table = table;
                if (!Object(list[i], item, {"address", "values"}) ||
                    !Integer(list[i], "address", item, tv.address, 0, 65535)) {
                    return false;
                }
                const Json& values = list[i].contains("values") ? list[i].at("values") : Json();
                if (!values.is_array()) {
                    return Fail(item + ".values", "must be a list");
                }
                for (const Json& v : values) {
                    const int64_t value = v.is_boolean()          ? (v.get<bool>() ? 1 : 0)
                                          : v.is_number_integer() ? v.get<int64_t>()
                                                                  : -1;
                    if (value < 0 || value > max) {
                        return Fail(item + ".values",
                                    "entries must be 0 to " + std::to_string(max));
                    }
                    tv.values.push_back(static_cast<uint16_t>(value));
                }
                out.push_back(std::move(tv));
            }
        }
        return true;
    }

    bool Faults(const Json& list, const std::string& where, std::vector<FaultSetup>& out) {
        if (!list.is_array()) {
            return Fail(where, "must be a list");
        }
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string item = where + "[" + std::to_string(i) + "]";
            const Json& f = list[i];
            FaultSetup setup;
            if (!Object(f, item, {"kind", "param", "count", "probability"}) ||
                !Integer(f, "param", item, setup.fault.param, 0, 60000) ||
                !Integer(f, "count", item, setup.count, 0, 1000000000) ||
                !Number(f, "probability", item, setup.probability, 0.0, 1.0)) {
                return false;
            }
            const Json& kind = f.contains("kind") ? f.at("kind") : Json();
            const auto parsed =
                kind.is_string() ? ParseFaultKind(kind.get<std::string>()) : std::nullopt;
            if (!parsed) {
                return Fail(item + ".kind", "must be one of " + FaultKindList());
            }
            setup.fault.kind = *parsed;
            if ((setup.count == 0) == (setup.probability == 0.0)) {
                return Fail(item, "give either \"count\" or \"probability\"");
            }
            out.push_back(setup);
        }
        return true;
    }

    bool Events(const Json& list, const std::string& where, std::vector<ScriptedEvent>& out) {
        if (!list.is_array()) {
            return Fail(where, "must be a list");
        }
        for (size_t i = 0; i < list.size(); ++i) {
            const std::string item = where + "[" + std::to_string(i) + "]";
            ScriptedEvent e;
            if (!Object(list[i], item, {"at_ms", "event", "value"}) ||
                !Integer(list[i], "at_ms", item, e.atMs, 0, 86400000) ||
                !Integer(list[i], "event", item, e.number, 0, kMaxEventGates - 1) ||
                !Bool(list[i], "value", item, e.value)) {
                return false;
            }
            out.push_back(e);
        }
        return true;
    }

    bool StationEntry(const Json& j, const std::string& where, StationSetup& s) {
        StationConfig& c = s.config;
        if (!Object(j, where,
                    {"address", "coils", "discrete_inputs", "holding_registers", "input_registers",
                     "event_gates", "event_capacity", "event_rate", "values", "events",
                     "faults"})) {
            return false;
        }
        if (!j.contains("address")) {
            return Fail(where, "needs an \"address\"");
        }
        if (!Integer(j, "address", where, c.address, 1, 31) ||
            !Integer(j, "coils", where, c.coils, 0, kMaxTableSize) ||
            !Integer(j, "discrete_inputs", where, c.discreteInputs, 0, kMaxTableSize) ||
            !Integer(j, "holding_registers", where, c.holdingRegisters, 0, kMaxTableSize) ||
            !Integer(j, "input_registers", where, c.inputRegisters, 0, kMaxTableSize) ||
            !Integer(j, "event_gates", where, c.eventGates, 0, kMaxEventGates) ||
            !Integer(j, "event_capacity", where, c.eventCapacity, 0, 1000000) ||
            !Number(j, "event_rate", where, c.eventRate, 0.0, 1e6)) {
            return false;
        }
        return (!j.contains("values") || Values(j.at("values"), where + ".values", s.values)) &&
               (!j.contains("events") || Events(j.at("events"), where + ".events", s.events)) &&
               (!j.contains("faults") || Faults(j.at("faults"), where + ".faults", s.faults));
    }

private:
    std::string* error_;
};

} // namespace

bool ParseScenario(const std::string& text, const LineConfig& base, Scenario& out,
                   std::string* error) {
    Reader reader(error);
    const Json root = Json::parse(text, nullptr, false);
    if (root.is_discarded()) {
        return reader.Fail("scenario", "not valid JSON");
    }
    Scenario scenario;
    scenario.line = base;
    if (!reader.Object(root, "scenario", {"line", "stations"})) {
        return false;
    }
    if (root.contains("line") && !reader.Line(root.at("line"), scenario.line)) {
        return false;
    }
    if (root.contains("stations")) {
        const Json& stations = root.at("stations");
        if (!stations.is_array()) {
            return reader.Fail("stations", "must be a list");
        }
        for (size_t i = 0; i < stations.size(); ++i) {
            StationSetup setup;
            if (!reader.StationEntry(stations[i], "stations[" + std::to_string(i) + "]", setup)) {
                return false;
            }
            scenario.stations.push_back(std::move(setup));
        }
    }
    out = std::move(scenario);
    return true;
}

bool ApplyScenario(const Scenario& scenario, Simulator& sim, std::string* error) {
    auto fail = [&](const StationSetup& s, const std::string& what) {
        if (error != nullptr) {
            *error = "station " + std::to_string(s.config.address) + ": " + what;
        }
        return false;
    };
    for (const StationSetup& s : scenario.stations) {
        std::string why;
        if (!sim.AddStation(s.config, &why)) {
            return fail(s, why);
        }
        const int st = s.config.address;
        for (const TableValues& tv : s.values) {
            for (size_t i = 0; i < tv.values.size(); ++i) {
                const auto address = static_cast<uint32_t>(tv.address + i);
                const uint16_t v = tv.values[i];
                const bool ok =
                    tv.table == Table::Coils            ? sim.SetCoil(st, address, v != 0)
                    : tv.table == Table::DiscreteInputs ? sim.SetDiscreteInput(st, address, v != 0)
                    : tv.table == Table::HoldingRegisters ? sim.SetHoldingRegister(st, address, v)
                                                          : sim.SetInputRegister(st, address, v);
                if (!ok) {
                    return fail(s, "value address " + std::to_string(address) +
                                       " lies outside its table");
                }
            }
        }
        for (const FaultSetup& f : s.faults) {
            if (f.count > 0) {
                sim.InjectFaults(st, f.fault, f.count);
            } else {
                sim.SetFaultProbability(st, f.fault, f.probability);
            }
        }
        for (const ScriptedEvent& e : s.events) {
            if (!sim.ScheduleEvent(st, e.number, e.value, std::chrono::milliseconds(e.atMs))) {
                return fail(s, "event " + std::to_string(e.number) + " is not an event gate");
            }
        }
    }
    return true;
}

} // namespace h51sim
