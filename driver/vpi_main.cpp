// The driver's only export: times each call and dispatches it through the command table.
#include <optional>

#include "driver/command_table.h"
#include "driver/context_check.h"
#include "driver/library_state.h"
#include "merix/vpi.h"
#include "serial/line_trace.h"
#include "services/host_log.h"
#include "services/run_time_error.h"
#include "services/timers.h"

namespace {
// Hosts that call less often than this are worth a note in the log.
constexpr double kBetweenLimitSeconds = 15.0;
constexpr double kWorkedLimitSeconds = 1.5;
} // namespace

extern "C" int32_t MERIX_CDECL VpiMain(merix::CallBlock* callBlock) {
    using namespace merix;
    LibraryState& lib = Library();

    const double between = TimerElapsed(lib.betweenTimer);
    if (between > kBetweenLimitSeconds) {
        Log(kLogDetail, "MERIX> VpiMain() between : Timer %lf", between);
    }
    TimerStart(lib.workedTimer);

    if (lib.stopFlag != 0) {
        return kResultOk;
    }
    if (callBlock == nullptr) {
        Log(kLogError, "MERIX> VpiMain() called without a call block, refused");
        return kResultFailed;
    }
    const uint32_t code = callBlock->command;
    // The code is unsigned on the wire; a host's negative code arrives as a huge value.
    if (code < 1 || code > static_cast<uint32_t>(kCommandSlots)) {
        RunTimeError(kAreaEntry, kPlaceCommandCode, 0);
        return kResultFailed;
    }
    const CommandSlot& slot = CommandTable()[code - 1];
    if (slot.routine == nullptr) {
        RunTimeError(kAreaEntry, kPlaceNoCommand, 0);
        return kResultFailed;
    }

    if (const std::optional<int32_t> refused =
            RefuseStrayCommand(*callBlock, slot.use, slot.needsParams, slot.name)) {
        TimerStart(lib.betweenTimer);
        return *refused;
    }

    const int32_t result = slot.routine(callBlock);
    if (callBlock->context != nullptr) {
        // A failed transaction is what a reader of the trace looks for next: in the file now.
        const bool now = slot.flushes || (slot.use == ContextUse::kLine && result != kResultOk);
        TraceCommandEnds(*callBlock->context, now);
    }

    const double worked = TimerElapsed(lib.workedTimer);
    if (worked > kWorkedLimitSeconds) {
        Log(kLogDetail, "MERIX> VpiMain() worked %s : timer %lf", slot.name, worked);
    }
    TimerStart(lib.betweenTimer);
    return result;
}
