// CSV files for other tools: one row per read or write, one row per event value.
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
    bool Open(const std::string& valuesPath, const std::string& eventsPath, std::string* error);
    void Value(const GateState& gate, Access op, int result);
    void Event(const EventRecord& event);
    void Close();

    /// `text` as one CSV field: quoted when it holds a comma, a quote or a line break.
    static std::string Field(const std::string& text);

private:
    std::FILE* values_ = nullptr;
    std::FILE* events_ = nullptr;
};

} // namespace merixhost
