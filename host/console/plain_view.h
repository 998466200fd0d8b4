// Plain lines for a log or a pipe: a line when a gate's value or result changes, one per
// event, one when an alert opens or ends, and the stations now and then.
#pragma once

#include <map>
#include <string>
#include <utility>

#include "host/console/scanner.h"

namespace merixhost {

class PlainView {
public:
    void OnAccess(const GateState& gate, Access op, int result);
    void OnEvent(const EventRecord& event);
    /// Reports alert changes and, every `stationEvery` calls, the stations.
    void Refresh(const Scanner& scanner);
    static void Line(const std::string& text);

private:
    std::map<std::string, std::pair<std::string, int>> last_; ///< gate: value, result
    std::map<uint32_t, bool> alerts_;                         ///< id: open
    unsigned refreshes_ = 0;
};

} // namespace merixhost
