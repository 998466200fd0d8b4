// What a line may write into its controllers: the WRITE lines of the initialisation file.
// Without any, every write goes out; once there is one, only the gates, ranges, stations and
// the clock broadcast that a line names. A line that does not read allows nothing, yet still
// counts: a plant that wrote one meant to restrict its writes.
#pragma once

#include <cstdint>

#include "merix/vpi.h"
#include "services/instance_settings.h"

namespace merix {

/// How a WRITE line was taken.
enum class WriteLine : uint8_t {
    kAdded,     ///< its rule is in the list
    kNone,      ///< NONE: nothing added, but writes are restricted from now on
    kMalformed, ///< not a value a WRITE line takes
    kFull,      ///< the list holds kMaxWriteRules rules already
};

/// Takes the value of a WRITE line, upper-cased, without its line end and trailing blanks:
/// NONE, $TIME, two station digits, a gate address ("03300200") or two of the same station and
/// function joined by '-' ("03300200-03300210"). Gate addresses are read by the gate parser
/// (gates/address_parser.h), as the host's gates are; only coils and holding registers can be
/// named. Every call, whatever it answers, restricts `rules`.
WriteLine AddWriteLine(WriteRules& rules, const char* value, DriverContext& ctx);

/// True when `rules` let the host write the coil or register `gate` names: no WRITE line, or
/// a rule of its station whose function and address match exactly. A gate whose function is
/// not that of a coil or a holding register is allowed by no rule.
bool WriteAllowed(const WriteRules& rules, const GateAccessRecord& gate);

/// True when `rules` let the host broadcast the clock: no WRITE line, or WRITE = $TIME.
bool TimeSyncAllowed(const WriteRules& rules);

} // namespace merix
