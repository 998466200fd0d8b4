// Control API of the stand-in host service library, for host programs and tests.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "merix/qorlib.h"

namespace qorlib {

struct LogLine {
    int level;
    std::string text;
};

struct GateValue {
    double value;
    int32_t seconds; ///< calendar time as mktime gives it; 0 for a state without time
    uint16_t millis;
};

struct Alert {
    uint32_t id;
    std::string alertClass;
    std::string text;
    uint32_t mask;
    int group;
    bool open;
};

struct UnCookCall {
    uint32_t hostWord;
    double value;
};

/// Forgets every gate, definition, alert and log line; restores the default settings.
QORLIB_API void Reset();

/// Lines at or above this level are also printed to stderr (default: none, -1).
QORLIB_API void SetPrintLevel(int level);
/// Every log line is also handed to this sink (for a host's log file); empty to remove.
QORLIB_API void SetLogSink(std::function<void(const LogLine&)> sink);
QORLIB_API std::vector<LogLine> Log();
QORLIB_API void ClearLog();
/// True when a line with exactly this text was logged (at the level, when given).
QORLIB_API bool Logged(const std::string& text, std::optional<int> level = std::nullopt);

/// Defines a gate owned by driver instance `driverNumber` (1-based): it gets a gate id for
/// QorGetGateIdByAddressStr and a definition for QorFindGateDef/QorGetGateDef.
QORLIB_API uint32_t DefineGate(const std::string& address, uint32_t driverNumber);
/// Removes a gate: look-ups by its address fail from now on (its definition stays).
QORLIB_API void DeleteGate(const std::string& address, uint32_t driverNumber);
/// Removes a gate's definition as well: the host's configuration no longer has it.
QORLIB_API void UndefineGate(const std::string& address, uint32_t driverNumber);
QORLIB_API std::vector<GateValue> History(const std::string& address, uint32_t driverNumber);
QORLIB_API std::optional<GateValue> LastValue(const std::string& address, uint32_t driverNumber);
QORLIB_API void ClearHistory();
/// The result that QorPutGateVal gives (0 accepts the value).
QORLIB_API void SetPutGateValResult(int result);
/// Every service result then carries junk in its upper 16 bits, as from a host whose
/// services return 16-bit values; the low half stays the real result.
QORLIB_API void SetUpperHalfJunk(bool on);

QORLIB_API std::vector<Alert> Alerts();
QORLIB_API std::vector<Alert> OpenAlerts();
QORLIB_API std::vector<UnCookCall> UnCookCalls();

} // namespace qorlib
