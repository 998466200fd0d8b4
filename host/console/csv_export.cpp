#include "host/console/csv_export.h"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "host/console/counter_columns.h"

namespace merixhost {
namespace {

bool OpenOne(const std::string& path, const char* header, std::FILE*& file, std::string* error) {
    if (path.empty()) {
        return true;
    }
    file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        *error = fmt::format("cannot write '{}': {}", path, std::strerror(errno));
        return false;
    }
    std::fputs(header, file);
    return true;
}

} // namespace

CsvExport::~CsvExport() {
    Close();
}

bool CsvExport::Open(const std::string& valuesPath, const std::string& eventsPath,
                     const std::string& stationsPath, std::string* error) {
    return OpenOne(valuesPath, "time,gate,address,station,operation,result,value\n", values_,
                   error) &&
           OpenOne(eventsPath, "received,station,event,gate,address,value,timestamp,kind\n",
                   events_, error) &&
           OpenOne(stationsPath, (StationsCsvHeader() + "\n").c_str(), stations_, error);
}

void CsvExport::Close() {
    for (std::FILE** f : {&values_, &events_, &stations_}) {
        if (*f != nullptr) {
            std::fclose(*f);
            *f = nullptr;
        }
    }
}

std::string CsvExport::Field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return quoted + "\"";
}

void CsvExport::Value(const GateState& gate, Access op, int result) {
    if (values_ == nullptr) {
        return;
    }
    std::string value;
    if (op == Access::Write && gate.kind != GateKind::TimeSync && gate.value.size() >= 4) {
        int16_t word = 0;
        std::memcpy(&word, gate.value.data() + 2, sizeof word);
        value = std::to_string(word);
    } else if (op == Access::Read && result == 0) {
        value = gate.valueText;
    }
    const int station = gate.Station();
    fmt::print(values_, "{},{},{},{},{},{},{}\n", DateTimeText(std::chrono::system_clock::now()),
               Field(gate.entry.name), Field(gate.entry.address),
               station >= 0 ? std::to_string(station) : "", op == Access::Read ? "read" : "write",
               result, Field(value));
    std::fflush(values_); // a run that is killed keeps what it read
}

void CsvExport::Event(const EventRecord& e) {
    if (events_ == nullptr) {
        return;
    }
    fmt::print(events_, "{},{},{},{},{},{:g},{},{}\n", DateTimeText(e.received), e.station,
               e.number, Field(e.gate), e.address, e.value,
               e.IsState() ? "" : StampText(e.seconds, e.millis), e.IsState() ? "state" : "event");
    std::fflush(events_);
}

void CsvExport::Stations(const StationTable& table, const merix::DriverContext& context) {
    if (stations_ == nullptr) {
        return;
    }
    const std::string now = DateTimeText(std::chrono::system_clock::now());
    for (size_t st = 0; st < table.size(); ++st) {
        const StationStats& stats = table[st];
        if (!stats.Counted() || (st > 0 && !stats.used)) {
            continue;
        }
        // The columns of the first files keep their places: counters added since follow the
        // state. A demoted station's state is "demoted" alone: its seconds are in deml_s.
        const auto column = [&](size_t i) {
            const auto& value = stats.counters[i];
            return value ? std::to_string(*value) : std::string();
        };
        const auto firstAdded = static_cast<size_t>(kFirstAddedCounter);
        std::string counters;
        for (size_t i = 0; i < firstAdded; ++i) {
            counters += column(i) + ",";
        }
        std::string added;
        for (size_t i = firstAdded; i < kCounterCount; ++i) {
            added += "," + column(i);
        }
        fmt::print(stations_, "{},{},{}{}{}\n", now, st, counters,
                   st == 0 ? "" : StationStateText(stats, context.plcState[st]), added);
    }
    std::fflush(stations_);
}

} // namespace merixhost
