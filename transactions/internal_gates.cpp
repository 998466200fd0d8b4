#include "transactions/internal_gates.h"

#include "merix/qorlib.h"
#include "serial/transmitter.h"
#include "services/host_log.h"
#include "transactions/station_entry.h"
#include "transactions/value_buffer.h"

namespace merix {

int32_t ReadInternalGate(DriverContext& ctx, const GateAccessRecord& gate) {
    if (gate.station != kInternalStation) {
        Log(kLogDetail, "MERIX> Read() Wrong parameter");
        return 1;
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
    default:
        if (!HasStationEntry(gate.address)) {
            return 1;
        }
        value = ctx.plcState[gate.address] != kCommunicating ? 1.0 : 0.0;
        break;
    }
    QorUnCook(0, gate.hostWord, value, gate.valuePtr);
    return 0;
}

int32_t WriteInternalGate(DriverContext& ctx, const GateAccessRecord& gate) {
    if (gate.station != kInternalStation) {
        Log(kLogDetail, "MERIX> Write() Wrong parameter");
        return 1;
    }
    const int16_t value = ValueWord(gate.valuePtr);
    switch (gate.address) {
    case kInternalIfg:
        // As the initialisation file: a gap of 5000 ms or more (every negative value among
        // them) would block the host's thread before each request.
        if (static_cast<uint16_t>(value) >= kGapLimitMs) {
            Log(kLogError, "MERIX> SingleWrite() IFG = %d refused: not below %u ms, IFG stays %u",
                value, static_cast<unsigned>(kGapLimitMs), static_cast<unsigned>(ctx.IFG));
            return 1;
        }
        ctx.IFG = static_cast<uint16_t>(value);
        Log(kLogDetail, "MERIX> SingleWrite() IFG = %d", ctx.IFG);
        return 0;
    case kInternalFDelay:
        if (value >= 5000) {
            return 0; // out of range: nothing changes, and the host is not told otherwise
        }
        ctx.fDelay = static_cast<float>(value) * 0.1f;
        Log(kLogDetail, "MERIX> SingleWrite() FDelay = %.1f", static_cast<double>(ctx.fDelay));
        return 0;
    case kInternalDebug:
        if (value != 0 && value != 1) {
            return 1;
        }
        ctx.debugFlag = static_cast<uint8_t>(value);
        Log(kLogDetail, "MERIX> SingleWrite() Debug information flag = %d", ctx.debugFlag);
        return 0;
    default:
        break;
    }
    const int32_t s = gate.address;
    if (!HasStationEntry(s)) {
        return 1;
    }
    if (value == 1) {
        ctx.plcState[s] = kSwitchedOff;
        Log(kLogDetail, "MERIX> SingleWrite() Communication with PLC %d switched OFF", s);
        return 0;
    }
    if (value != 0) {
        return 1;
    }
    if (ctx.plcState[s] == kSwitchedOff) {
        ctx.plcState[s] = kInError; // back in error: WarmStart brings it into service
    } else {
        ctx.plcState[s] = kCommunicating;
        ctx.fEF[s] = 1;
    }
    Log(kLogDetail, "MERIX> SingleWrite() Communication with PLC %d switched ON", s);
    return 0;
}

} // namespace merix
