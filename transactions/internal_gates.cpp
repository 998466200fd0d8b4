#include "transactions/internal_gates.h"

#include <algorithm>

#include "merix/qorlib.h"
#include "serial/transmitter.h"
#include "services/host_log.h"
#include "services/line_statistics.h"
#include "transactions/station_demotion.h"
#include "transactions/station_entry.h"
#include "transactions/value_buffer.h"

namespace merix {

namespace {

/// The station and counter of a statistics gate's address; false for any other address.
/// The host hands the address back as it got it from the parser, but checks cost nothing.
bool StatisticsGate(int32_t address, int32_t* station, LineCounter* counter) {
    // Compared before subtracting: a forged address near INT32_MIN would overflow.
    if (address < kStatisticsBase) {
        return false;
    }
    const int32_t offset = address - kStatisticsBase;
    if (offset / kStatisticsStride >= kStationCount ||
        offset % kStatisticsStride >= kLineCounterCount) {
        return false;
    }
    *station = offset / kStatisticsStride;
    *counter = static_cast<LineCounter>(offset % kStatisticsStride);
    return true;
}

/// "IFG": the gap before each request, in milliseconds.
int32_t WriteGap(DriverContext& ctx, int16_t value) {
    // As the initialisation file: a gap of 5000 ms or more (every negative value among
    // them) would block the host's thread before each request.
    if (static_cast<uint16_t>(value) >= kGapLimitMs) {
        Log(kLogError, "MERIX> SingleWrite() IFG = %d refused: not below %u ms, IFG stays %u",
            value, static_cast<unsigned>(kGapLimitMs), static_cast<unsigned>(ctx.IFG));
        return kResultRefused;
    }
    ctx.IFG = static_cast<uint16_t>(value);
    Log(kLogDetail, "MERIX> SingleWrite() IFG = %d", ctx.IFG);
    return kResultOk;
}

/// "FDELAY": the extra hold time after each frame, in tenths of a millisecond.
int32_t WriteHoldDelay(DriverContext& ctx, int16_t value) {
    if (value >= 5000) {
        return kResultOk; // out of range: nothing changes, and the host is not told otherwise
    }
    ctx.fDelay = static_cast<float>(value) * 0.1f;
    Log(kLogDetail, "MERIX> SingleWrite() FDelay = %.1f", static_cast<double>(ctx.fDelay));
    return kResultOk;
}

/// "DEBUG": the debug flag, 0 or 1.
int32_t WriteDebugFlag(DriverContext& ctx, int16_t value) {
    if (value != 0 && value != 1) {
        return kResultRefused;
    }
    ctx.debugFlag = static_cast<uint8_t>(value);
    Log(kLogDetail, "MERIX> SingleWrite() Debug information flag = %d", ctx.debugFlag);
    return kResultOk;
}

/// A statistics gate: 0 clears the station's counters (station 0: every station's).
int32_t ClearStatistics(DriverContext& ctx, int32_t station, int16_t value) {
    if (value != 0) {
        Log(kLogError, "MERIX> SingleWrite() statistics: %d refused, only 0 clears", value);
        return kResultRefused;
    }
    ClearLineCounters(ctx, station);
    Log(kLogDetail, "MERIX> SingleWrite() statistics of PLC %d cleared (0: every PLC)", station);
    return kResultOk;
}

/// "HIMA" and a station: 1 switches the communication off, 0 on again.
int32_t SwitchStation(DriverContext& ctx, int32_t s, int16_t value) {
    if (!HasStationEntry(s)) {
        return kResultRefused;
    }
    if (value == 1) {
        ctx.plcState[s] = kSwitchedOff;
        Log(kLogDetail, "MERIX> SingleWrite() Communication with PLC %d switched OFF", s);
        return kResultOk;
    }
    if (value != 0) {
        return kResultRefused;
    }
    if (ctx.plcState[s] == kSwitchedOff) {
        ctx.plcState[s] = kInError; // back in error: WarmStart brings it into service
    } else {
        ctx.plcState[s] = kCommunicating;
        ctx.fEF[s] = 1;
    }
    Log(kLogDetail, "MERIX> SingleWrite() Communication with PLC %d switched ON", s);
    return kResultOk;
}

/// DEML: the station's seconds left, or the longest of them for the whole line (station 0).
uint32_t DemotionSecondsLeftOf(const DriverContext& ctx, int32_t station) {
    if (station != 0) {
        return DemotionSecondsLeft(ctx, station);
    }
    uint32_t longest = 0;
    for (int32_t s = 1; s < kStationCount; ++s) {
        longest = std::max(longest, DemotionSecondsLeft(ctx, s));
    }
    return longest;
}

} // namespace

int32_t ReadInternalGate(DriverContext& ctx, const GateAccessRecord& gate) {
    if (gate.station != kInternalStation) {
        Log(kLogDetail, "MERIX> Read() Wrong parameter");
        return kResultRefused;
    }
    double value = 0.0;
    switch (gate.address) {
    case kInternalIfg:
        value = ctx.IFG;
        break;
    case kInternalFDelay:
        value = static_cast<double>(ctx.fDelay * 10.0f);
        break;
    case kInternalDebug:
        value = ctx.debugFlag;
        break;
    default: {
        int32_t station = 0;
        LineCounter counter{};
        if (StatisticsGate(gate.address, &station, &counter)) {
            value = counter == LineCounter::kDemotedLeft
                        ? DemotionSecondsLeftOf(ctx, station)
                        : ReadLineCounter(ctx, station, counter).value_or(0);
            break;
        }
        if (!HasStationEntry(gate.address)) {
            return kResultRefused;
        }
        value = ctx.plcState[gate.address] != kCommunicating ? 1.0 : 0.0;
        break;
    }
    }
    QorUnCook(0, gate.hostWord, value, gate.valuePtr);
    return kResultOk;
}

int32_t WriteInternalGate(DriverContext& ctx, const GateAccessRecord& gate) {
    if (gate.station != kInternalStation) {
        Log(kLogDetail, "MERIX> Write() Wrong parameter");
        return kResultRefused;
    }
    const int16_t value = ValueWord(gate.valuePtr);
    switch (gate.address) {
    case kInternalIfg:
        return WriteGap(ctx, value);
    case kInternalFDelay:
        return WriteHoldDelay(ctx, value);
    case kInternalDebug:
        return WriteDebugFlag(ctx, value);
    default:
        break;
    }
    int32_t station = 0;
    LineCounter counter{};
    if (StatisticsGate(gate.address, &station, &counter)) {
        return ClearStatistics(ctx, station, value);
    }
    return SwitchStation(ctx, gate.address, value);
}

} // namespace merix
