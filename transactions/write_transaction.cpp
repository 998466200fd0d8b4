// Writing one register or coil, the internal gates, and the time synchronisation gate.
#include "transactions/write_transaction.h"

#include <cstring>

#include "gates/address_parser.h"
#include "serial/frame_text.h"
#include "serial/function_table.h"
#include "serial/protocol.h"
#include "serial/receiver.h"
#include "serial/transmitter.h"
#include "services/host_log.h"
#include "services/instance_room.h"
#include "services/line_statistics.h"
#include "transactions/internal_gates.h"
#include "transactions/read_transaction.h"
#include "transactions/retry_pass.h"
#include "transactions/station_demotion.h"
#include "transactions/time_sync.h"
#include "transactions/transaction_runner.h"
#include "transactions/value_buffer.h"
#include "transactions/write_journal.h"
#include "transactions/write_permission.h"

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

/// The function a write of `gate` goes out with: a coil's, or else a register's.
uint8_t WriteFunction(const GateAccessRecord& gate) {
    const FunctionRow* read = GateRead(gate);
    return read != nullptr && read->writtenWith == kWriteSingleCoil ? kWriteSingleCoil
                                                                    : kWriteSingleRegister;
}

/// The value word as the request carries it. Modbus: a coil ON is 0xFF00, OFF 0x0000.
uint16_t LineWord(const GateAccessRecord& gate) {
    const int16_t value = ValueWord(gate.valuePtr);
    if (WriteFunction(gate) == kWriteSingleCoil) {
        return value != 0 ? 0xFF00 : 0x0000;
    }
    return static_cast<uint16_t>(value);
}

int BuildWriteRequest(const GateAccessRecord& gate, uint8_t* frame) {
    const uint16_t word = LineWord(gate);
    frame[0] = static_cast<uint8_t>(gate.station);
    frame[1] = WriteFunction(gate);
    frame[2] = static_cast<uint8_t>(gate.address >> 8);
    frame[3] = static_cast<uint8_t>(gate.address);
    frame[4] = static_cast<uint8_t>(word >> 8);
    frame[5] = static_cast<uint8_t>(word);
    return kWriteRequestLength;
}

/// How a write into a controller ended: the host's result, and what the journal tells of it.
struct WriteOutcome {
    int32_t result = kResultRefused;
    int attempts = 0; ///< requests that went out, or were tried
    bool readBack = false;
    int16_t read = 0; ///< VERIFY's value read back
    FixedText<96> why;
};

/// A write's own part of the attempt loop.
class WriteSteps final : public FixedRequestSteps {
public:
    WriteSteps(DriverContext& ctx, RetryState& pass, int length, int& attempts)
        : FixedRequestSteps(ctx, pass, length, kTexts), attempts_(attempts) {}

    void BeforeSend() override { ++attempts_; }
    Then FrameArrived(ReplyVerdict verdict) override {
        switch (verdict) {
        case ReplyVerdict::kException:
            Log(kLogDetail, "MERIX> SingleWrite(), Modbus error %d", ctx_.rxBuf[1]);
            pass_.result = kPassBad;
            break;
        case ReplyVerdict::kCrcBad:
            Log(kLogDetail, "MERIX> SingleWrite(), CRC error");
            pass_.result = kPassBad;
            break;
        case ReplyVerdict::kEchoDiffers:
            // Not a success, but a wrong reply, retried as one.
            Log(kLogDetail,
                "MERIX> SingleWrite() echo differs: sent address %u value %04X, echoed "
                "address %u value %04X",
                Word(ctx_.txBuf, 2), Word(ctx_.txBuf, 4), Word(ctx_.rxBuf, 2), Word(ctx_.rxBuf, 4));
            pass_.result = kPassWrongReply;
            break;
        case ReplyVerdict::kConfirmed:
            pass_.result = kPassOk;
            break;
        default:
            pass_.result = kPassBad; // only the controller's confirmation makes a write good
            break;
        }
        return Then::kNextAttempt;
    }

private:
    static constexpr Texts kTexts{"MERIX> SingleWrite(), send rc=%d",
                                  "MERIX> SingleWrite() receive error, retry %d"};
    int& attempts_;
};

/// Why the last pass of a write was not good, as the code that decided it told: the steps
/// and the loop in `pass.why`; the receiver's own reasons reach only the trace, and what its
/// reply left (`pass.replyLength` bytes of ctx.rxBuf) tells them apart.
void DescribePass(const DriverContext& ctx, const RetryState& pass, TextBuffer& out) {
    if (pass.result == kPassOk) {
        out.Append("confirmed");
        return;
    }
    switch (pass.why) {
    case TraceWhy::kSendFailed:
        out.Append("not sent");
        return;
    case TraceWhy::kLineEcho:
        out.Append("line echo missing or changed");
        return;
    case TraceWhy::kEchoDiffers:
        out.Append("echo differed");
        return;
    case TraceWhy::kCrcBad:
        out.Append("bad CRC");
        return;
    default:
        break;
    }
    // An exception reply, taken by the steps or refused by the receiver: station, function
    // with the exception bit, code.
    if (pass.replyLength >= 3 && (ctx.rxBuf[1] & kExceptionBit) != 0) {
        out.Printf("exception %u", static_cast<unsigned>(ctx.rxBuf[2]));
    } else if (pass.result == kPassFailed) {
        out.Append(pass.replyLength > 0 ? "reply cut short" : "no answer");
    } else {
        out.Append("wrong reply");
    }
}

void WriteTransaction(DriverContext& ctx, const GateAccessRecord& gate, WriteOutcome& out) {
    const Demotion demotion = CheckDemotion(ctx, gate.station);
    if (demotion == Demotion::kRefused) {
        out.result = kResultFailed; // nothing sent: not written
        out.why.Append("station demoted");
        return;
    }
    const int length = BuildWriteRequest(gate, ctx.txBuf);
    ctx.fixedReply = 1;
    RetryState pass = FirstPass(ctx, gate.station, demotion == Demotion::kProbe);
    WriteSteps steps(ctx, pass, length, out.attempts);
    RunAttempts(ctx, kWriteTexts, pass, steps);
    ctx.fixedReply = 0;
    out.result = ResultOf(pass.result);
    DescribePass(ctx, pass, out.why);
    CountLine(ctx, gate.station, out.result == kResultOk ? LineCounter::kOk : LineCounter::kFail);
    if (demotion == Demotion::kProbe) {
        // A write puts no station into error: a probe that went unanswered demotes it here.
        EndProbe(ctx, gate.station, pass.result == kPassFailed);
    }
}

/// VERIFY: the coil or register the controller confirmed is read back in one read
/// transaction. A value other than the one written answers 3. So does a read-back that fails:
/// the write was confirmed but not verified, and 0 would claim more than is known; 2 would
/// tell the host the write failed, which the controller's echo says it did not.
void VerifyWrite(DriverContext& ctx, const GateAccessRecord& gate, const char* text,
                 WriteOutcome& out) {
    const bool coil = WriteFunction(gate) == kWriteSingleCoil;
    uint8_t value[4] = {};
    GateAccessRecord read{};
    read.addressString = gate.addressString;
    read.station = gate.station;
    read.function = coil ? kReadCoils : kReadHoldingRegisters;
    read.address = gate.address;
    read.gateType = coil ? kGateTypeDigital : kGateType0;
    read.count = 1;
    read.hostWord = gate.hostWord;
    read.valuePtr = value;
    CallBlock cb{&ctx, 0, ctx.vpiNumber, 0, &read};
    const int32_t answered = DoRead(&cb);
    out.why.Clear();
    if (answered != kResultOk) {
        out.result = kResultWrongReply;
        out.why.Printf("confirmed, not verified: the read-back answered %d",
                       static_cast<int>(answered));
        Log(kLogError, "MERIX> SingleWrite() gate %s: confirmed, but its read-back answered %d",
            text, static_cast<int>(answered));
        return;
    }
    out.readBack = true;
    out.read = ValueWord(value);
    const int16_t written = ValueWord(gate.valuePtr);
    // A coil reads back as 0 or 1; any value but 0 wrote it ON.
    if (coil ? (out.read != 0) == (written != 0) : out.read == written) {
        out.why.Append("confirmed and read back");
        return;
    }
    out.result = kResultWrongReply;
    out.why.Append("read back another value");
    Log(kLogError, "MERIX> SingleWrite() gate %s: wrote %d, read back %d", text, written, out.read);
}

/// The settings that decide on the writes of `ctx`, or nullptr: without its room the instance
/// does not know its WRITE and JOURNAL lines, and writes nothing.
const InstanceSettings* WriteSettings(const DriverContext& ctx, const char* text) {
    if (const InstanceRoom* room = FindInstanceRoom(ctx)) {
        return &room->settings;
    }
    Log(kLogError, "MERIX> SingleWrite() gate %s: no settings of the instance, not written", text);
    return nullptr;
}

/// The journal is checked before anything is sent: one that failed earlier refuses the write.
bool JournalReady(const DriverContext& ctx, const InstanceSettings& settings, const char* text) {
    if (JournalTakesWrites(ctx, settings)) {
        return true;
    }
    Log(kLogError, "MERIX> SingleWrite() gate %s: the write journal cannot be written, not written",
        text);
    return false;
}

/// A coil or a register. Every outcome past the WRITE lines and the journal's check is
/// journaled before the result goes back. A journal line that cannot be written after the
/// request went out cannot undo the write: the write's true result goes back, and the line
/// goes to the log (JournalWrite); the journal then refuses every later write.
int32_t ControllerWrite(DriverContext& ctx, const GateAccessRecord& gate, const char* text) {
    const InstanceSettings* settings = WriteSettings(ctx, text);
    if (settings == nullptr) {
        return kResultRefused;
    }
    WriteOutcome out;
    JournalRecord record;
    record.gate = text;
    record.station = gate.station;
    record.function = WriteFunction(gate);
    record.address = gate.address;
    record.value = ValueWord(gate.valuePtr);
    record.word = LineWord(gate);
    const bool allowed = WriteAllowed(settings->writes, gate);
    if (!allowed) {
        out.why.Append("refused by the WRITE lines");
    } else if (!JournalReady(ctx, *settings, text)) {
        return kResultRefused; // nothing the journal could record
    } else if (!FitsModbusAddresses(gate.address, 1)) {
        // Its low 16 bits would name another register of the controller.
        out.why.Append("address beyond 65535");
        Log(kLogError, "MERIX> SingleWrite() gate %s: address %d is beyond 65535, not written",
            text, gate.address);
    } else if (ctx.comOn == 0 || !PortOfContext(ctx)) {
        out.why.Append("port not open"); // sent to no line: it could be another instance's
    } else if (const FunctionRow* read = GateRead(gate);
               read != nullptr && read->writtenWith == 0) {
        out.why.Append("inputs cannot be written"); // discrete inputs, input registers
    } else {
        WriteTransaction(ctx, gate, out);
        if (out.result == kResultOk && settings->verify) {
            VerifyWrite(ctx, gate, text, out);
        }
    }
    record.attempts = out.attempts;
    record.read = out.readBack ? &out.read : nullptr;
    record.result = out.result;
    record.why = out.why.View();
    JournalWrite(ctx, *settings, record);
    if (!allowed) {
        // Last, so that a host showing the write's last log line shows this one.
        Log(kLogError, "MERIX> SingleWrite() gate %s: no WRITE line allows it, not written", text);
    }
    return out.result;
}

/// The clock broadcast: $TIME needs a WRITE line of its own once there is any.
int32_t ClockWrite(CallBlock* cb, const char* text) {
    const DriverContext& ctx = *cb->context;
    const InstanceSettings* settings = WriteSettings(ctx, text);
    if (settings == nullptr) {
        return kResultRefused;
    }
    JournalRecord record;
    record.gate = text;
    record.station = kBroadcastStation;
    record.function = kTimeSync;
    plat::LocalTime sent{};
    if (!TimeSyncAllowed(settings->writes)) {
        record.result = kResultRefused;
        record.why = "refused by the WRITE lines";
        JournalWrite(ctx, *settings, record);
        Log(kLogError, "MERIX> SingleWrite() gate %s: no WRITE line allows it, not written", text);
        return kResultRefused;
    }
    if (!JournalReady(ctx, *settings, text)) {
        return kResultRefused;
    }
    if (ctx.comOn == 0 || !PortOfContext(ctx)) {
        record.result = kResultRefused;
        record.why = "port not open";
        JournalWrite(ctx, *settings, record);
        return kResultRefused;
    }
    record.result = SendTimeSync(cb, &sent);
    record.clock = &sent;
    record.attempts = 1;
    record.why = record.result == kResultOk ? "broadcast sent" : "not sent";
    JournalWrite(ctx, *settings, record);
    return record.result;
}

} // namespace

int32_t SingleWrite(CallBlock* cb) {
    DriverContext& ctx = *cb->context;
    const auto& gate = *static_cast<const GateAccessRecord*>(cb->params);
    if (gate.function == kInternalFunction) {
        // The driver's own settings and station switches: nothing reaches a controller.
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
    case kSpecialError:
        // The driver's error gate names no controller's register: written, it would go out as
        // a write of register 65534.
        Log(kLogError, "MERIX> SingleWrite() gate %s is read only, not written", copy);
        return kResultRefused;
    case kSpecialTime:
        return ClockWrite(cb, copy);
    default:
        break;
    }
    return ControllerWrite(ctx, gate, copy);
}

int32_t BlockWrite(CallBlock*) {
    return kResultRefused;
}

} // namespace merix
