// CSV files for other tools: one row per read or write, one row per event value, and the
// driver's statistics of each station each time the host reads them.
#pragma once

#include <cstdio>
#include <string>

#include "host/console/scan_model.h"

namespace merixhost {

class CsvExport {
public:
    CsvExport() = default;
    ~CsvExport();
    CsvExport(const CsvExport&) = delete;
    CsvExport& operator=(const CsvExport&) = delete;

    /// Creates (or empties) the files and writes their header rows; an empty path is no file.
    bool Open(const std::string& valuesPath, const std::string& eventsPath,
              const std::string& stationsPath, std::string* error);
    void Value(const GateState& gate, Access op, int result);
    void Event(const EventRecord& event);
    /// A row for each station that the scan talks to and for the whole line (station 0),
    /// once the driver's counters have been read.
    void Stations(const StationTable& table, const merix::DriverContext& context);
    void Close();

    /// `text` as one CSV field: quoted when it holds a comma, a quote or a line break.
    static std::string Field(const std::string& text);

private:
    std::FILE* values_ = nullptr;
    std::FILE* events_ = nullptr;
    std::FILE* stations_ = nullptr;
};

} // namespace merixhost
