// Writing one register or coil, the internal gates, and the time synchronisation gate.
#include "transactions/write_transaction.h"

#include <cstring>

#include "gates/address_parser.h"
#include "serial/line_errors.h"
#include "serial/protocol.h"
#include "serial/receiver.h"
#include "serial/transmitter.h"
#include "services/host_log.h"
#include "services/line_statistics.h"
#include "transactions/internal_gates.h"
#include "transactions/retry_pass.h"
#include "transactions/station_demotion.h"
#include "transactions/time_sync.h"
#include "transactions/transaction_runner.h"
#include "transactions/value_buffer.h"

namespace merix {

namespace {

constexpr int kWriteRequestLength = 6;
constexpr std::size_t kTextCopy = 32;

constexpr RetryTexts kWriteTexts{"MERIX> SingleWrite() : sRetry=%d, reply_len=%d",
                                 "MERIX> SingleWrite() Delay : Calc. %.3f, Prac. %.3f",
                                 "MERIX> SingleWrite() Wrong receive (still %d tries)"};

/// The row of the read function that a gate's address names, or nullptr for any other gate.
const FunctionRow* GateRead(const GateAccessRecord& gate) {
    const bool read = gate.function >= 0 && gate.function <= 0xFF &&
                      ReadsGates(static_cast<uint8_t>(gate.function));
    return read ? FindFunction(static_cast<uint8_t>(gate.function)) : nullptr;
}

int BuildWriteRequest(const GateAccessRecord& gate, uint8_t* frame) {
    const int16_t value = ValueWord(gate.valuePtr);
    const FunctionRow* read = GateRead(gate);
    const bool coil = read != nullptr && read->writtenWith == kWriteSingleCoil;
    frame[0] = static_cast<uint8_t>(gate.station);
    frame[1] = coil ? kWriteSingleCoil : kWriteSingleRegister;
    frame[2] = static_cast<uint8_t>(gate.address >> 8);
    frame[3] = static_cast<uint8_t>(gate.address);
    if (coil) {
        frame[4] = value != 0 ? 0xFF : 0x00; // Modbus: ON is 0xFF00, OFF 0x0000
        frame[5] = 0x00;
    } else {
        frame[4] = static_cast<uint8_t>(static_cast<uint16_t>(value) >> 8);
        frame[5] = static_cast<uint8_t>(value);
    }
    return kWriteRequestLength;
}

/// The echo repeats the request's address and value (bytes 2 to 5).
bool EchoMatches(const DriverContext& ctx) {
    return std::memcmp(ctx.rxBuf + 2, ctx.txBuf + 2, kWriteRequestLength - 2) == 0;
}

/// A write's own part of the attempt loop.
class WriteSteps final : public FixedRequestSteps {
public:
    WriteSteps(DriverContext& ctx, RetryState& pass, int length)
        : FixedRequestSteps(ctx, pass, length, kTexts) {}

    void BeforeSend() override { PurgeStaleInput(ctx_); }
    Then FrameArrived() override {
        if (IsExceptionReply(ctx_)) {
            Log(kLogDetail, "MERIX> SingleWrite(), Modbus error %d", ctx_.rxBuf[1]);
            pass_.result = kPassBad;
            pass_.why = TraceWhy::kException;
        } else if (!ReplyCrcGood(ctx_, pass_)) {
            Log(kLogDetail, "MERIX> SingleWrite(), CRC error");
            pass_.result = kPassBad;
        } else if (!EchoMatches(ctx_)) {
            // A stale frame, or the controller did something other than what was asked:
            // not a success, but a wrong reply, retried as one.
            Log(kLogDetail,
                "MERIX> SingleWrite() echo differs: sent address %u value %04X, echoed "
                "address %u value %04X",
                Word(ctx_.txBuf, 2), Word(ctx_.txBuf, 4), Word(ctx_.rxBuf, 2), Word(ctx_.rxBuf, 4));
            CountLine(ctx_, pass_.station, LineCounter::kWrong);
            pass_.result = kPassWrongReply;
            pass_.why = TraceWhy::kEchoDiffers;
        } else {
            pass_.result = kPassOk;
        }
        return Then::kNextAttempt;
    }

private:
    static constexpr Texts kTexts{"MERIX> SingleWrite(), send rc=%d",
                                  "MERIX> SingleWrite() receive error, retry %d"};
};

int WriteTransaction(DriverContext& ctx, const GateAccessRecord& gate) {
    const Demotion demotion = CheckDemotion(ctx, gate.station);
    if (demotion == Demotion::kRefused) {
        return kResultFailed; // nothing sent: not written
    }
    const int length = BuildWriteRequest(gate, ctx.txBuf);
    ctx.fixedReply = 1;
    RetryState pass = FirstPass(ctx, gate.station, demotion == Demotion::kProbe);
    WriteSteps steps(ctx, pass, length);
    RunAttempts(ctx, kWriteTexts, pass, steps);
    ctx.fixedReply = 0;
    const CommandResult result = ResultOf(pass.result);
    CountLine(ctx, gate.station, result == kResultOk ? LineCounter::kOk : LineCounter::kFail);
    if (demotion == Demotion::kProbe) {
        // A write puts no station into error: a probe that went unanswered demotes it here.
        EndProbe(ctx, gate.station, pass.result == kPassFailed);
    }
    return result;
}

} // namespace

int32_t SingleWrite(CallBlock* cb) {
    DriverContext& ctx = *cb->context;
    const auto& gate = *static_cast<const GateAccessRecord*>(cb->params);
    if (gate.function == kInternalFunction) {
        return WriteInternalGate(ctx, gate);
    }
    char copy[kTextCopy];
    std::strncpy(copy, gate.addressString, kTextCopy - 1);
    copy[kTextCopy - 1] = '\0';
    if (ctx.debugFlag != 0) {
        Log(kLogDetail, "MERIX> SingleWrite Gate:%s", copy);
    }
    if (IsEventAddress(copy)) {
        return kResultRefused;
    }
    int32_t station = 0;
    int32_t address = 0;
    switch (MatchSpecialName(gate.addressString, &station, &address)) {
    case kSpecialEvent:
        return kResultRefused;
    case kSpecialTime:
        return SendTimeSync(cb);
    default:
        break;
    }
    if (ctx.comOn == 0) {
        return kResultRefused;
    }
    if (const FunctionRow* read = GateRead(gate); read != nullptr && read->writtenWith == 0) {
        return kResultRefused; // discrete inputs and input registers cannot be written
    }
    return WriteTransaction(ctx, gate);
}

int32_t BlockWrite(CallBlock*) {
    return kResultRefused;
}

} // namespace merix
