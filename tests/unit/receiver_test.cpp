// Receive: every classification of a reply, driven by scripted lines.
#include "serial/receiver.h"
#include "services/host_log.h"
#include "test_support.h"

namespace merix::test {
namespace {

using fake::Bytes;
using fake::Silence;
using Frame = std::vector<uint8_t>;

struct RxCase {
    const char* name;
    uint8_t requestFunction;
    uint32_t fixedReply;
    uint32_t fReadEvent;
    std::vector<fake::Piece> line;
    int result;
    uint32_t count;
    std::vector<std::string> reads;
    std::vector<std::string> logs;
};

class ReceiveCase : public DriverTest, public ::testing::WithParamInterface<RxCase> {};

TEST_P(ReceiveCase, Classifies) {
    const RxCase& c = GetParam();
    ColdStart();
    host->txBuf[1] = c.requestFunction;
    host->fixedReply = c.fixedReply;
    host->fReadEvent = c.fReadEvent;
    std::vector<uint8_t> pending;
    fake::QueueReply(c.line);
    uint32_t dummy = 0;
    plat::WriteFile(host->hf, host->txBuf, 0, &dummy); // releases the scripted reply
    fake::ClearCalls();
    qorlib::ClearLog();

    uint32_t count = 77;
    EXPECT_EQ(Receive(5, *host, &count), c.result);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(fake::CallsStartingWith("ReadFile"), c.reads);
    EXPECT_EQ(LogTexts(), c.logs);
}

// Station 5 throughout; the CRC bytes are not checked by Receive, so they are placeholders.
const RxCase kCases[] = {
    {"Silence", 3, 0, 0, {}, kRxFailed, 0, {"ReadFile(2)"}, {}},
    {"OnlyTheRightStation",
     3,
     0,
     0,
     {Bytes({0x05}), Silence()},
     kRxWrong,
     0,
     {"ReadFile(2)"},
     {"MERIX> Receive() Length Wrong 2 >iRead = 1 (PLC 5)",
      "MERIX> Receive() Only right plc addr.5h received"}},
    {"OneByteOfAnotherStation",
     3,
     0,
     0,
     {Bytes({0x07}), Silence()},
     kRxWrong,
     0,
     {"ReadFile(2)"},
     {"MERIX> Receive() Wrong plc addr.7h received"}},
    {"NormalReply",
     3,
     0,
     0,
     {Bytes({0x05, 0x03, 0x04, 0x00, 0x01, 0x00, 0x02, 0xAA, 0xBB})},
     kRxFrame,
     9,
     {"ReadFile(2)", "ReadFile(1)", "ReadFile(6)"},
     {}},
    {"WriteEcho",
     6,
     1,
     0,
     {Bytes({0x05, 0x06, 0x00, 0x10, 0x12, 0x34, 0xAA, 0xBB})},
     kRxFrame,
     8,
     {"ReadFile(2)", "ReadFile(6)"},
     {}},
    {"IllegalDataAddressToARead",
     3,
     0,
     0,
     {Bytes({0x05, 0x83, 0x02, 0xAA, 0xBB})},
     kRxRefused,
     5,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() (MB-protocol) Illegal data address (PLC 5)"}},
    {"IllegalDataAddressToAnEventInit",
     0x41,
     0,
     0,
     {Bytes({0x05, 0xC1, 0x02, 0xAA, 0xBB})},
     kRxFrame,
     5,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() (MB-protocol) Illegal data address (PLC 5)"}},
    {"IllegalDataValue",
     3,
     0,
     0,
     {Bytes({0x05, 0x83, 0x03, 0xAA, 0xBB})},
     kRxRefused,
     5,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() (MB-protocol) Illegal data value (PLC 5)"}},
    {"Acknowledge",
     3,
     0,
     0,
     {Bytes({0x05, 0x83, 0x05, 0xAA, 0xBB})},
     kRxRefused,
     5,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() (MB-protocol) Acknowledge (processing) (PLC 5)"}},
    {"Busy",
     3,
     0,
     0,
     {Bytes({0x05, 0x83, 0x06, 0xAA, 0xBB})},
     kRxRefused,
     5,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() (MB-protocol) Busy, rejected message (PLC 5)"}},
    {"NegativeAcknowledge",
     3,
     0,
     0,
     {Bytes({0x05, 0x83, 0x07, 0xAA, 0xBB})},
     kRxFrame,
     5,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() (MB-protocol) Negative acknowledgment (PLC 5)"}},
    {"MemoryParityError",
     3,
     0,
     0,
     {Bytes({0x05, 0x83, 0x08, 0xAA, 0xBB})},
     kRxFrame,
     5,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() (MB-protocol) Memory parity error (PLC 5)"}},
    {"IllegalDataAddressToAnEventPoll",
     0x42,
     0,
     1,
     {Bytes({0x05, 0xC2, 0x02, 0xAA, 0xBB})},
     kRxFrame,
     5,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() (MB-protocol) Illegal data address (PLC 5)"}},
    {"IllegalDataAddressToAnEventRepeat",
     0x43,
     0,
     1,
     {Bytes({0x05, 0xC3, 0x02, 0xAA, 0xBB})},
     kRxFrame,
     5,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() (MB-protocol) Illegal data address (PLC 5)"}},
    {"ExceptionOfAnotherFunction",
     3,
     0,
     0,
     {Bytes({0x05, 0x84, 0x01, 0xAA, 0xBB})},
     kRxFrame,
     5,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() Different function with 0x80 returned (PLC 5)",
      "MERIX> Receive() (MB-protocol) Illegal function (PLC 5)"}},
    {"DeviceFailure",
     3,
     0,
     0,
     {Bytes({0x05, 0x83, 0x04, 0xAA, 0xBB})},
     kRxFailed,
     5,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() (MB-protocol) Failure in associated device (PLC 5)"}},
    {"ExceptionCode0",
     3,
     0,
     0,
     {Bytes({0x05, 0x83, 0x00, 0xAA, 0xBB})},
     kRxFrame,
     5,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() (MB-protocol error) (PLC 5)"}},
    {"ExceptionCode9",
     3,
     0,
     0,
     {Bytes({0x05, 0x83, 0x09, 0xAA, 0xBB})},
     kRxFrame,
     5,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() (MB-protocol error) (PLC 5)"}},
    {"ExceptionHeaderThenSilence",
     3,
     0,
     0,
     {Bytes({0x05, 0x83})},
     kRxFailed,
     2,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() 0x80 : RukComRead() error 7 iRead 0 (PLC 5)"}},
    {"ExceptionHeaderThenSilenceWhileReadingEvents",
     0x42,
     0,
     1,
     {Bytes({0x05, 0xC2})},
     kRxFrame,
     2,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive() c2h Fail rcv rest of Reply (PLC 5)"}},
    {"ExceptionCutShort",
     3,
     0,
     0,
     {Bytes({0x05, 0x83, 0x02}), Silence()},
     kRxWrong,
     2,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive(),83h : Length iRead = 1, (131,2) (PLC 5)"}},
    // All but the last byte: a length check that stops one short would take it as whole.
    {"ExceptionCutInItsCrc",
     3,
     0,
     0,
     {Bytes({0x05,   // station
             0x83,   // read registers, with the exception bit
             0x02,   // exception code: illegal data address
             0xAA}), // the CRC's first byte; its second never comes
      Silence()},
     kRxWrong,
     2,
     {"ReadFile(2)", "ReadFile(3)"},
     {"MERIX> Receive(),83h : Length iRead = 2, (2,170) (PLC 5)"}},
    {"DataCutShort",
     3,
     0,
     0,
     {Bytes({0x05, 0x03, 0x04, 0x00, 0x01, 0x00}), Silence()},
     kRxWrong,
     6,
     {"ReadFile(2)", "ReadFile(1)", "ReadFile(6)"},
     {"MERIX> Receive() iRead=3 <> iToRead=6 (1,0) (PLC 5)"}},
    {"OtherFunction",
     3,
     0,
     0,
     {Bytes({0x05, 0x04, 0x02, 0x00, 0x01, 0xAA, 0xBB})},
     kRxWrong,
     2,
     {"ReadFile(2)"},
     {"MERIX> Receive() Different function returned (PLC 5)"}},
    {"NoByteCount",
     3,
     0,
     0,
     {Bytes({0x05, 0x03}), Silence()},
     kRxFailed,
     2,
     {"ReadFile(2)", "ReadFile(1)"},
     {"MERIX> Receive() Length Reply iRead 0, fReadEvent 0 (PLC 5)"}},
    {"NoDataPart",
     3,
     0,
     0,
     {Bytes({0x05, 0x03, 0x04}), Silence()},
     kRxFailed,
     3,
     {"ReadFile(2)", "ReadFile(1)", "ReadFile(6)"},
     {"MERIX> Receive() rc=7, fReadEvent=0, iRead=0 (PLC 5)"}},
    {"NoDataPartWhileReadingEvents",
     0x42,
     0,
     1,
     {Bytes({0x05, 0x42, 0x08}), Silence()},
     kRxWrong,
     3,
     {"ReadFile(2)", "ReadFile(1)", "ReadFile(10)"},
     {"MERIX> Receive() iRead=0 <> iToRead=10 (66,8) (PLC 5)"}},
    {"EmptyEventBlock",
     0x42,
     0,
     1,
     {Bytes({0x05, 0x42, 0x00, 0xAA, 0xBB})},
     kRxFrame,
     5,
     {"ReadFile(2)", "ReadFile(1)", "ReadFile(2)"},
     {}},
};

INSTANTIATE_TEST_SUITE_P(Replies, ReceiveCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, ReceiveLongestReplyStaysInsideTheBuffer) {
    ColdStart();
    host->txBuf[1] = 3;
    host->fixedReply = 0;
    host->fReadEvent = 0;
    Frame reply{0x05, 0x03, 0xFF};
    reply.resize(3 + 255 + 2, 0x11);
    fake::QueueReply(reply);
    uint32_t n = 0;
    plat::WriteFile(host->hf, host->txBuf, 0, &n);
    uint32_t count = 0;
    EXPECT_EQ(Receive(5, *host, &count), kRxFrame);
    EXPECT_EQ(count, 260u);
}

} // namespace
} // namespace merix::test
