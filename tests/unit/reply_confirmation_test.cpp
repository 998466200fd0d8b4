// ConfirmReply: the verdict on every kind of whole reply, and what it counts and tells.
#include "services/host_log.h"
#include "services/line_statistics.h"
#include "test_support.h"
#include "transactions/reply_confirmation.h"

namespace merix::test {
namespace {

enum class Crc { kGood, kBad };

struct ConfirmCase {
    const char* name;
    Frame request; ///< without its CRC
    Frame reply;   ///< without its CRC
    Crc crc;
    uint64_t valuesEnd;
    ReplyVerdict verdict;
    TraceWhy why;
    std::vector<uint32_t> counted; ///< exception, CRC and wrong-reply counters of station 5
    std::vector<std::string> logs;
};

class ConfirmCaseTest : public DriverTest, public ::testing::WithParamInterface<ConfirmCase> {};

TEST_P(ConfirmCaseTest, Judges) {
    const ConfirmCase& c = GetParam();
    ASSERT_EQ(ColdStart(), 0);
    qorlib::ClearLog();
    Frame reply = WithCrc(c.reply);
    if (c.crc == Crc::kBad) {
        reply.back() ^= 0x5A;
    }
    std::copy(c.request.begin(), c.request.end(), host->txBuf);
    std::copy(reply.begin(), reply.end(), host->rxBuf);
    RetryState pass{.station = 5};
    // An event read takes an exception cut after its function as it came.
    pass.replyLength = c.reply.size() == 2 ? 2 : static_cast<uint32_t>(reply.size());

    EXPECT_EQ(ConfirmReply(*host, pass, c.valuesEnd), c.verdict);
    EXPECT_EQ(pass.why, c.why);
    std::vector<uint32_t> counted;
    for (LineCounter counter : {LineCounter::kException, LineCounter::kCrc, LineCounter::kWrong}) {
        counted.push_back(ReadLineCounter(*host, 5, counter).value_or(99));
    }
    EXPECT_EQ(counted, c.counted);
    EXPECT_EQ(LogTexts(), c.logs);
}

// Station 5 throughout: a read of registers 0x10 and 0x11, a write of 0x1234 into register
// 0x10, a coil write, and the event functions.
const Frame kReadTwo{0x05, 0x03, 0x00, 0x10, 0x00, 0x02};
const Frame kWriteRegister{0x05, 0x06, 0x00, 0x10, 0x12, 0x34};
const Frame kWriteCoil{0x05, 0x05, 0x00, 0x10, 0xFF, 0x00};
const Frame kEventInit{0x05, 0x41, 0x04, 0x00, 0x00, 0x00, 0x02};
const Frame kEventNext{0x05, 0x42};
const Frame kEventRepeat{0x05, 0x43};
constexpr uint64_t kTwoRegisters = 3 + 4 + 2; // header, two words, CRC

const ConfirmCase kCases[] = {
    {.name = "ReadConfirmed",
     .request = kReadTwo,
     .reply = {0x05, 0x03, 0x04, 0x00, 0x01, 0x00, 0x02},
     .crc = Crc::kGood,
     .valuesEnd = kTwoRegisters,
     .verdict = ReplyVerdict::kConfirmed,
     .why = TraceWhy::kNone,
     .counted = {0, 0, 0},
     .logs = {}},
    {.name = "ReadOneWordShort",
     .request = kReadTwo,
     .reply = {0x05, 0x03, 0x02, 0x00, 0x01},
     .crc = Crc::kGood,
     .valuesEnd = kTwoRegisters,
     .verdict = ReplyVerdict::kCountShort,
     .why = TraceWhy::kNone,
     .counted = {0, 0, 0},
     .logs = {}},
    {.name = "ReadCrcBad",
     .request = kReadTwo,
     .reply = {0x05, 0x03, 0x04, 0x00, 0x01, 0x00, 0x02},
     .crc = Crc::kBad,
     .valuesEnd = kTwoRegisters,
     .verdict = ReplyVerdict::kCrcBad,
     .why = TraceWhy::kCrcBad,
     .counted = {0, 1, 0},
     .logs = {}},
    // A read's exception is taken by its code before its CRC is looked at.
    {.name = "ReadExceptionWithABadCrc",
     .request = kReadTwo,
     .reply = {0x05, 0x83, 0x01},
     .crc = Crc::kBad,
     .valuesEnd = kTwoRegisters,
     .verdict = ReplyVerdict::kException,
     .why = TraceWhy::kException,
     .counted = {1, 0, 0},
     .logs = {"MERIX> Receive() (MB-protocol) Illegal function (PLC 5)"}},
    {.name = "IllegalDataAddressToARead",
     .request = kReadTwo,
     .reply = {0x05, 0x83, 0x02},
     .crc = Crc::kGood,
     .valuesEnd = kTwoRegisters,
     .verdict = ReplyVerdict::kRefused,
     .why = TraceWhy::kNone,
     .counted = {1, 0, 0},
     .logs = {"MERIX> Receive() (MB-protocol) Illegal data address (PLC 5)"}},
    // A refusing code settles the attempt before the CRC is looked at.
    {.name = "IllegalDataValueWithABadCrc",
     .request = kReadTwo,
     .reply = {0x05, 0x83, 0x03},
     .crc = Crc::kBad,
     .valuesEnd = kTwoRegisters,
     .verdict = ReplyVerdict::kRefused,
     .why = TraceWhy::kNone,
     .counted = {1, 0, 0},
     .logs = {"MERIX> Receive() (MB-protocol) Illegal data value (PLC 5)"}},
    {.name = "DeviceFailure",
     .request = kReadTwo,
     .reply = {0x05, 0x83, 0x04},
     .crc = Crc::kGood,
     .valuesEnd = kTwoRegisters,
     .verdict = ReplyVerdict::kNoService,
     .why = TraceWhy::kNone,
     .counted = {1, 0, 0},
     .logs = {"MERIX> Receive() (MB-protocol) Failure in associated device (PLC 5)"}},
    {.name = "Acknowledge",
     .request = kReadTwo,
     .reply = {0x05, 0x83, 0x05},
     .crc = Crc::kGood,
     .valuesEnd = kTwoRegisters,
     .verdict = ReplyVerdict::kRefused,
     .why = TraceWhy::kNone,
     .counted = {1, 0, 0},
     .logs = {"MERIX> Receive() (MB-protocol) Acknowledge (processing) (PLC 5)"}},
    {.name = "Busy",
     .request = kReadTwo,
     .reply = {0x05, 0x83, 0x06},
     .crc = Crc::kGood,
     .valuesEnd = kTwoRegisters,
     .verdict = ReplyVerdict::kRefused,
     .why = TraceWhy::kNone,
     .counted = {1, 0, 0},
     .logs = {"MERIX> Receive() (MB-protocol) Busy, rejected message (PLC 5)"}},
    {.name = "NegativeAcknowledge",
     .request = kReadTwo,
     .reply = {0x05, 0x83, 0x07},
     .crc = Crc::kGood,
     .valuesEnd = kTwoRegisters,
     .verdict = ReplyVerdict::kException,
     .why = TraceWhy::kException,
     .counted = {1, 0, 0},
     .logs = {"MERIX> Receive() (MB-protocol) Negative acknowledgment (PLC 5)"}},
    {.name = "MemoryParityError",
     .request = kReadTwo,
     .reply = {0x05, 0x83, 0x08},
     .crc = Crc::kGood,
     .valuesEnd = kTwoRegisters,
     .verdict = ReplyVerdict::kException,
     .why = TraceWhy::kException,
     .counted = {1, 0, 0},
     .logs = {"MERIX> Receive() (MB-protocol) Memory parity error (PLC 5)"}},
    {.name = "ExceptionCode0",
     .request = kReadTwo,
     .reply = {0x05, 0x83, 0x00},
     .crc = Crc::kGood,
     .valuesEnd = kTwoRegisters,
     .verdict = ReplyVerdict::kException,
     .why = TraceWhy::kException,
     .counted = {1, 0, 0},
     .logs = {"MERIX> Receive() (MB-protocol error) (PLC 5)"}},
    {.name = "ExceptionCode9",
     .request = kReadTwo,
     .reply = {0x05, 0x83, 0x09},
     .crc = Crc::kGood,
     .valuesEnd = kTwoRegisters,
     .verdict = ReplyVerdict::kException,
     .why = TraceWhy::kException,
     .counted = {1, 0, 0},
     .logs = {"MERIX> Receive() (MB-protocol error) (PLC 5)"}},
    {.name = "WriteEchoed",
     .request = kWriteRegister,
     .reply = kWriteRegister,
     .crc = Crc::kGood,
     .valuesEnd = 0,
     .verdict = ReplyVerdict::kConfirmed,
     .why = TraceWhy::kNone,
     .counted = {0, 0, 0},
     .logs = {}},
    {.name = "WriteEchoOfAnotherValue",
     .request = kWriteRegister,
     .reply = {0x05, 0x06, 0x00, 0x10, 0x12, 0x35},
     .crc = Crc::kGood,
     .valuesEnd = 0,
     .verdict = ReplyVerdict::kEchoDiffers,
     .why = TraceWhy::kEchoDiffers,
     .counted = {0, 0, 1},
     .logs = {}},
    {.name = "CoilWriteEchoOfAnotherCoil",
     .request = kWriteCoil,
     .reply = {0x05, 0x05, 0x00, 0x11, 0xFF, 0x00},
     .crc = Crc::kGood,
     .valuesEnd = 0,
     .verdict = ReplyVerdict::kEchoDiffers,
     .why = TraceWhy::kEchoDiffers,
     .counted = {0, 0, 1},
     .logs = {}},
    {.name = "WriteEchoDamaged",
     .request = kWriteRegister,
     .reply = {0x05, 0x06, 0x00, 0x10, 0x12, 0x35},
     .crc = Crc::kBad,
     .valuesEnd = 0,
     .verdict = ReplyVerdict::kCrcBad,
     .why = TraceWhy::kCrcBad,
     .counted = {0, 1, 0},
     .logs = {}},
    // The set-up's refusal (the event count does not match) is the set-up's answer.
    {.name = "EventInitRefused",
     .request = kEventInit,
     .reply = {0x05, 0xC1, 0x02},
     .crc = Crc::kGood,
     .valuesEnd = 0,
     .verdict = ReplyVerdict::kConfirmed,
     .why = TraceWhy::kNone,
     .counted = {1, 0, 0},
     .logs = {"MERIX> Receive() (MB-protocol) Illegal data address (PLC 5)"}},
    {.name = "EventPollRefused",
     .request = kEventNext,
     .reply = {0x05, 0xC2, 0x02},
     .crc = Crc::kGood,
     .valuesEnd = 0,
     .verdict = ReplyVerdict::kException,
     .why = TraceWhy::kException,
     .counted = {1, 0, 0},
     .logs = {"MERIX> Receive() (MB-protocol) Illegal data address (PLC 5)"}},
    {.name = "EventRepeatRefused",
     .request = kEventRepeat,
     .reply = {0x05, 0xC3, 0x02},
     .crc = Crc::kGood,
     .valuesEnd = 0,
     .verdict = ReplyVerdict::kException,
     .why = TraceWhy::kException,
     .counted = {1, 0, 0},
     .logs = {"MERIX> Receive() (MB-protocol) Illegal data address (PLC 5)"}},
    // An event reply's CRC comes before its exception bit.
    {.name = "EventRefusalWithABadCrc",
     .request = kEventNext,
     .reply = {0x05, 0xC2, 0x02},
     .crc = Crc::kBad,
     .valuesEnd = 0,
     .verdict = ReplyVerdict::kCrcBad,
     .why = TraceWhy::kCrcBad,
     .counted = {1, 1, 0},
     .logs = {"MERIX> Receive() (MB-protocol) Illegal data address (PLC 5)"}},
    {.name = "EventRefusalCutAfterItsFunction",
     .request = kEventNext,
     .reply = {0x05, 0xC2},
     .crc = Crc::kGood,
     .valuesEnd = 0,
     .verdict = ReplyVerdict::kCrcBad,
     .why = TraceWhy::kCrcBad,
     .counted = {0, 1, 0},
     .logs = {}},
    {.name = "EventBlock",
     .request = kEventNext,
     .reply = {0x05, 0x42, 0x08, 0x0B, 0x00, 0x01, 0x00, 0x00, 0x0A, 0x14, 0x08},
     .crc = Crc::kGood,
     .valuesEnd = 0,
     .verdict = ReplyVerdict::kConfirmed,
     .why = TraceWhy::kNone,
     .counted = {0, 0, 0},
     .logs = {}},
};

INSTANTIATE_TEST_SUITE_P(Replies, ConfirmCaseTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace merix::test
