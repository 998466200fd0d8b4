#include "transactions/read_transaction.h"

#include <algorithm>
#include <cstring>

#include "gates/address_parser.h"
#include "serial/protocol.h"
#include "serial/receiver.h"
#include "serial/transmitter.h"
#include "services/host_log.h"
#include "services/line_statistics.h"
#include "services/timers.h"
#include "transactions/event_polling.h"
#include "transactions/internal_gates.h"
#include "transactions/retry_pass.h"
#include "transactions/station_demotion.h"
#include "transactions/station_entry.h"
#include "transactions/transaction_runner.h"
#include "transactions/value_buffer.h"

namespace merix {

namespace {

constexpr double kSlowReadSeconds = 1.5;
constexpr int kReadRequestLength = 6;
constexpr uint32_t kReplyHeader = 3; // station, function, byte count
constexpr uint32_t kCrcLength = 2;

// Copies of gate texts are only classified, so a bounded prefix is enough.
constexpr std::size_t kTextCopy = 32;

constexpr RetryTexts kReadTexts{"MERIX> DoRead() : sRetry=%d, iRlen=%d",
                                "MERIX> DoRead() Delay : Calc. %.3f, Prac. %.3f",
                                "MERIX> DoRead() Wrong receive (still %d tries)"};

void CopyText(const char* text, char (&copy)[kTextCopy]) {
    std::strncpy(copy, text, kTextCopy - 1);
    copy[kTextCopy - 1] = '\0';
}

bool IsBitGate(const GateAccessRecord& gate) {
    return gate.gateType == kGateTypeDigital;
}

/// Bytes of the reply, from the first data byte on, that the gate's values are taken from.
uint32_t BytesNeeded(const GateAccessRecord& gate) {
    if (gate.count == 1) {
        return IsBitGate(gate) ? 1 : 2;
    }
    if (gate.count <= 0) {
        return 0;
    }
    const auto count = static_cast<uint32_t>(gate.count);
    return IsBitGate(gate) ? count / 8 + 1 : 2 * count;
}

void LogSlowRead(const DriverContext& ctx, const char* format, double& started) {
    const double elapsed = TimerElapsed(started);
    if (ctx.debugFlag != 0 && elapsed > kSlowReadSeconds) {
        Log(kLogDetail, format, elapsed);
    }
}

} // namespace

int BuildReadRequest(const GateAccessRecord& gate, uint8_t* frame) {
    frame[0] = static_cast<uint8_t>(gate.station);
    frame[1] = static_cast<uint8_t>(gate.function);
    frame[2] = static_cast<uint8_t>(gate.address >> 8); // DoRead refused any beyond 16 bits
    frame[3] = static_cast<uint8_t>(gate.address);
    frame[4] = static_cast<uint8_t>(gate.count >> 8);
    frame[5] = static_cast<uint8_t>(gate.count);
    return kReadRequestLength;
}

namespace {

/// The least reply length that carries the gate's values.
uint64_t ReplyLengthFor(const GateAccessRecord& gate) {
    // A bit block takes count/8+1 bytes, which for a multiple of 8 reaches into the CRC; a
    // register block must come from the data alone.
    const uint32_t tail = IsBitGate(gate) && gate.count != 1 ? 0 : kCrcLength;
    const uint64_t end = uint64_t{kReplyHeader} + BytesNeeded(gate) + tail;
    return std::max<uint64_t>(end, kReplyHeader + kCrcLength);
}

} // namespace

bool StoreReadValues(const GateAccessRecord& gate, const uint8_t* reply, uint32_t replyLength) {
    // Nothing may come from bytes that did not arrive in this reply.
    if (replyLength < ReplyLengthFor(gate)) {
        return false;
    }
    const uint8_t* data = reply + kReplyHeader;
    auto* out = static_cast<uint8_t*>(gate.valuePtr);
    if (gate.count == 1) {
        const auto word =
            static_cast<int16_t>(IsBitGate(gate) ? (data[0] & 1) : Word({data, 2}, 0));
        SetValueWord(gate.valuePtr, word);
        return true;
    }
    if (IsBitGate(gate)) {
        std::memcpy(out, data, BytesNeeded(gate));
        return true;
    }
    for (int32_t i = 0; i < gate.count; ++i) {
        const uint16_t word = Word({data, BytesNeeded(gate)}, 2 * static_cast<std::size_t>(i));
        std::memcpy(out + 2 * i, &word, sizeof word);
    }
    return true;
}

namespace {

int32_t ReadTransaction(DriverContext& ctx, const GateAccessRecord& gate, bool tracked, bool probe);

} // namespace

int32_t DoRead(CallBlock* cb) {
    DriverContext& ctx = *cb->context;
    const auto& gate = *static_cast<const GateAccessRecord*>(cb->params);
    const int32_t station = gate.station;
    // Stations 32 to 99 are legal Modbus addresses without a state entry: they are read,
    // but never switched off or put into error.
    const bool tracked = HasStationEntry(station);

    // The request goes out with the record's function: one that is no read (a host's record
    // saying 5 or 6) would reach the controller as a write no WRITE line allowed.
    if (gate.function < 0 || gate.function > 0xFF ||
        !ReadsGates(static_cast<uint8_t>(gate.function))) {
        Log(kLogError, "MERIX> DoRead() function %d of PLC %d reads no gates, nothing sent",
            gate.function, station);
        return kResultRefused;
    }
    if (!FitsModbusAddresses(gate.address, gate.count)) {
        Log(kLogError,
            "MERIX> DoRead() address %d (%d values) of PLC %d is beyond 65535, nothing sent",
            gate.address, gate.count, station);
        return kResultRefused;
    }
    if (tracked && ctx.plcState[station] == kSwitchedOff) {
        Log(kLogDetail, "MERIX> DoRead() Communication with PLC %d switched off", station);
        return kResultFailed;
    }
    const Demotion demotion = CheckDemotion(ctx, station);
    if (demotion == Demotion::kRefused) {
        return kResultFailed;
    }
    const int32_t result = ReadTransaction(ctx, gate, tracked, demotion == Demotion::kProbe);
    CountLine(ctx, station, result == kResultOk ? LineCounter::kOk : LineCounter::kFail);
    if (demotion == Demotion::kProbe) {
        EndProbe(ctx, station, false); // a failure for good demoted it again already
    }
    return result;
}

namespace {

/// A read's own part of the attempt loop.
class ReadSteps final : public FixedRequestSteps {
public:
    ReadSteps(DriverContext& ctx, RetryState& pass, int length, const GateAccessRecord& gate)
        : FixedRequestSteps(ctx, pass, length, kTexts), valuesEnd_(ReplyLengthFor(gate)) {}

    uint64_t ValuesEnd() const override { return valuesEnd_; }
    Then FrameArrived(ReplyVerdict verdict) override {
        switch (verdict) {
        case ReplyVerdict::kException:
            pass_.result = kPassBad;
            if (pass_.sRetry == 0) {
                pass_.result = kPassFailed; // refused on every try: the station is in trouble
                return Then::kStop;
            }
            return Then::kNextAttempt;
        case ReplyVerdict::kCrcBad:
            pass_.result = kPassBad;
            if (pass_.sRetry == 0) {
                Log(kLogDetail, "MERIX> DoRead() Wrong CRC (Retries left %d)", 0);
            }
            return Then::kNextAttempt;
        case ReplyVerdict::kCountShort:
            // Whole and sound on the line, so not tried again: the read answers 1.
            countShort_ = true;
            pass_.result = kPassOk;
            return Then::kNextAttempt;
        case ReplyVerdict::kConfirmed:
            pass_.result = kPassOk;
            return Then::kNextAttempt;
        default:
            pass_.result = kPassBad;
            return Then::kNextAttempt;
        }
    }
    /// The last reply was whole and sound but carried fewer values than asked.
    bool CountShort() const { return countShort_; }

private:
    static constexpr Texts kTexts{"MERIX> DoRead() send error %d",
                                  "MERIX> DoRead() error reading reply, retry %d"};
    const uint64_t valuesEnd_;
    bool countShort_ = false;
};

int32_t ReadTransaction(DriverContext& ctx, const GateAccessRecord& gate, bool tracked,
                        bool probe) {
    const int32_t station = gate.station;
    const int iTlen = BuildReadRequest(gate, ctx.txBuf);
    RetryState pass = FirstPass(ctx, station, probe);
    ReadSteps steps(ctx, pass, iTlen, gate);
    RunAttempts(ctx, kReadTexts, pass, steps);

    switch (pass.result) {
    case kPassOk:
        if (steps.CountShort() || !StoreReadValues(gate, ctx.rxBuf, pass.replyLength)) {
            Log(kLogDetail, "MERIX> DoRead() reply of %u bytes too short for %d values of PLC %d",
                pass.replyLength, gate.count, gate.station);
            CountLine(ctx, station, LineCounter::kWrong);
            return kResultRefused;
        }
        return kResultOk;
    case kPassFailed: {
        CommandResult result = kResultFailed;
        if (ctx.debugFlag != 0) {
            Log(kLogDetail, "MERIX> DoRead() REVOCERY ERROR");
            result = kResultRefused;
        }
        if (tracked) {
            PutIntoError(ctx, pass);
        }
        Log(kLogDetail, "MERIX> DoRead() : message with length iTlen=%d failed", iTlen);
        return result;
    }
    default:
        return kResultRefused;
    }
}

} // namespace

int32_t SingleRead(CallBlock* cb) {
    DriverContext& ctx = *cb->context;
    auto& gate = *static_cast<GateAccessRecord*>(cb->params);
    double started = 0.0;
    TimerStart(started);

    if (gate.function == kInternalFunction) {
        return ReadInternalGate(ctx, gate);
    }
    char copy[kTextCopy];
    CopyText(gate.addressString, copy);
    if (IsEventAddress(copy)) {
        return kResultRefused; // event gates get their values from event retrieval only
    }
    int32_t station = 0;
    int32_t address = 0;
    switch (MatchSpecialName(copy, &station, &address)) {
    case kSpecialEvent: {
        const int32_t result = ReadEvent(cb) & 0xFFFF;
        if (result != 0) {
            Log(kLogDetail, "MERIX> SingleRead() returned %d", result);
        }
        return result;
    }
    case kSpecialTime:
        if (ctx.debugFlag != 0) {
            Log(kLogDetail, "MERIX> SingleRead() Illegal for gate %s", copy);
        }
        return kResultRefused;
    default:
        if (ctx.comOn == 0) {
            if (ctx.debugFlag != 0) {
                Log(kLogDetail, "MERIX> SingleRead() gate %s.  COM not open", copy);
            }
            return kResultRefused;
        }
        break;
    }
    const int32_t result = DoRead(cb);
    if (result != 0) {
        Log(kLogDetail, "MERIX> SingleRead() returned %d", result);
    }
    LogSlowRead(ctx, "MERIX> SingleRead() TimeLimit %lf", started);
    return result;
}

int32_t BlockRead(CallBlock* cb) {
    DriverContext& ctx = *cb->context;
    const auto& gate = *static_cast<const GateAccessRecord*>(cb->params);
    double started = 0.0;
    TimerStart(started);

    if (gate.function == kInternalFunction) {
        return kResultRefused;
    }
    char copy[kTextCopy];
    CopyText(gate.addressString, copy);
    if (IsEventAddress(copy)) {
        if (ctx.debugFlag != 0) {
            Log(kLogDetail, "MERIX> BlockRead() Illegal for gate %s", copy);
        }
        return kResultRefused;
    }
    if (ctx.comOn == 0) {
        if (ctx.debugFlag != 0) {
            Log(kLogDetail, "MERIX> BlockRead() gate %s.  COM not open", copy);
        }
        return kResultRefused;
    }
    const int32_t result = DoRead(cb);
    if (result != 0) {
        Log(kLogDetail, "MERIX> BlockRead() returned %d", result);
    }
    LogSlowRead(ctx, "MERIX> BlockRead() TimeLimit %lf", started);
    return result;
}

} // namespace merix
