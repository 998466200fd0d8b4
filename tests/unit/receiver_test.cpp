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
    host->fReadEvent = c.fReadEvent;
    std::vector<uint8_t> pending;
    fake::QueueReply(c.line);
    uint32_t dummy = 0;
    plat::WriteFile(host->hf, host->txBuf, 0, &dummy); // releases the scripted reply
    fake::ClearCalls();
    qorlib::ClearLog();

    uint32_t count = 77;
    TraceWhy why = TraceWhy::kNone;
    EXPECT_EQ(Receive(5, *host, &count, &why), c.result);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(fake::CallsStartingWith("ReadFile"), c.reads);
    EXPECT_EQ(LogTexts(), c.logs);
}

// Station 5 throughout; the CRC bytes are not checked by Receive, so they are placeholders.
const RxCase kCases[] = {
    {.name = "Silence",
     .requestFunction = 3,
     .fReadEvent = 0,
     .line = {},
     .result = kRxFailed,
     .count = 0,
     .reads = {"ReadFile(2)"},
     .logs = {}},
    {.name = "OnlyTheRightStation",
     .requestFunction = 3,
     .fReadEvent = 0,
     .line = {Bytes({0x05}), Silence()},
     .result = kRxWrong,
     .count = 0,
     .reads = {"ReadFile(2)"},
     .logs = {"MERIX> Receive() Length Wrong 2 >iRead = 1 (PLC 5)",
              "MERIX> Receive() Only right plc addr.5h received"}},
    {.name = "OneByteOfAnotherStation",
     .requestFunction = 3,
     .fReadEvent = 0,
     .line = {Bytes({0x07}), Silence()},
     .result = kRxWrong,
     .count = 0,
     .reads = {"ReadFile(2)"},
     .logs = {"MERIX> Receive() Wrong plc addr.7h received"}},
    {.name = "NormalReply",
     .requestFunction = 3,
     .fReadEvent = 0,
     .line = {Bytes({0x05, 0x03, 0x04, 0x00, 0x01, 0x00, 0x02, 0xAA, 0xBB})},
     .result = kRxFrame,
     .count = 9,
     .reads = {"ReadFile(2)", "ReadFile(1)", "ReadFile(6)"},
     .logs = {}},
    {.name = "WriteEcho",
     .requestFunction = 6,
     .fReadEvent = 0,
     .line = {Bytes({0x05, 0x06, 0x00, 0x10, 0x12, 0x34, 0xAA, 0xBB})},
     .result = kRxFrame,
     .count = 8,
     .reads = {"ReadFile(2)", "ReadFile(6)"},
     .logs = {}},
    {.name = "CoilWriteEcho",
     .requestFunction = 5,
     .fReadEvent = 0,
     .line = {Bytes({0x05, 0x05, 0x00, 0x10, 0xFF, 0x00, 0xAA, 0xBB})},
     .result = kRxFrame,
     .count = 8,
     .reads = {"ReadFile(2)", "ReadFile(6)"},
     .logs = {}},
    {.name = "ExceptionTakenWhole",
     .requestFunction = 3,
     .fReadEvent = 0,
     .line = {Bytes({0x05, 0x83, 0x02, 0xAA, 0xBB})},
     .result = kRxFrame, // what its code means is ConfirmReply's
     .count = 5,
     .reads = {"ReadFile(2)", "ReadFile(3)"},
     .logs = {}},
    {.name = "ExceptionOfAnotherFunction",
     .requestFunction = 3,
     .fReadEvent = 0,
     .line = {Bytes({0x05, 0x84, 0x01, 0xAA, 0xBB})},
     .result = kRxFrame,
     .count = 5,
     .reads = {"ReadFile(2)", "ReadFile(3)"},
     .logs = {"MERIX> Receive() Different function with 0x80 returned (PLC 5)"}},
    {.name = "ExceptionHeaderThenSilence",
     .requestFunction = 3,
     .fReadEvent = 0,
     .line = {Bytes({0x05, 0x83})},
     .result = kRxFailed,
     .count = 2,
     .reads = {"ReadFile(2)", "ReadFile(3)"},
     .logs = {"MERIX> Receive() 0x80 : RukComRead() error 7 iRead 0 (PLC 5)"}},
    {.name = "ExceptionHeaderThenSilenceWhileReadingEvents",
     .requestFunction = 0x42,
     .fReadEvent = 1,
     .line = {Bytes({0x05, 0xC2})},
     .result = kRxFrame,
     .count = 2,
     .reads = {"ReadFile(2)", "ReadFile(3)"},
     .logs = {"MERIX> Receive() c2h Fail rcv rest of Reply (PLC 5)"}},
    {.name = "ExceptionCutShort",
     .requestFunction = 3,
     .fReadEvent = 0,
     .line = {Bytes({0x05, 0x83, 0x02}), Silence()},
     .result = kRxWrong,
     .count = 2,
     .reads = {"ReadFile(2)", "ReadFile(3)"},
     .logs = {"MERIX> Receive(),83h : Length iRead = 1, (131,2) (PLC 5)"}},
    // All but the last byte: a length check that stops one short would take it as whole.
    {.name = "ExceptionCutInItsCrc",
     .requestFunction = 3,
     .fReadEvent = 0,
     .line = {Bytes({0x05,   // station
                     0x83,   // read registers, with the exception bit
                     0x02,   // exception code: illegal data address
                     0xAA}), // the CRC's first byte; its second never comes
              Silence()},
     .result = kRxWrong,
     .count = 2,
     .reads = {"ReadFile(2)", "ReadFile(3)"},
     .logs = {"MERIX> Receive(),83h : Length iRead = 2, (2,170) (PLC 5)"}},
    {.name = "DataCutShort",
     .requestFunction = 3,
     .fReadEvent = 0,
     .line = {Bytes({0x05, 0x03, 0x04, 0x00, 0x01, 0x00}), Silence()},
     .result = kRxWrong,
     .count = 6,
     .reads = {"ReadFile(2)", "ReadFile(1)", "ReadFile(6)"},
     .logs = {"MERIX> Receive() iRead=3 <> iToRead=6 (1,0) (PLC 5)"}},
    {.name = "OtherFunction",
     .requestFunction = 3,
     .fReadEvent = 0,
     .line = {Bytes({0x05, 0x04, 0x02, 0x00, 0x01, 0xAA, 0xBB})},
     .result = kRxWrong,
     .count = 2,
     .reads = {"ReadFile(2)"},
     .logs = {"MERIX> Receive() Different function returned (PLC 5)"}},
    {.name = "NoByteCount",
     .requestFunction = 3,
     .fReadEvent = 0,
     .line = {Bytes({0x05, 0x03}), Silence()},
     .result = kRxFailed,
     .count = 2,
     .reads = {"ReadFile(2)", "ReadFile(1)"},
     .logs = {"MERIX> Receive() Length Reply iRead 0, fReadEvent 0 (PLC 5)"}},
    {.name = "NoDataPart",
     .requestFunction = 3,
     .fReadEvent = 0,
     .line = {Bytes({0x05, 0x03, 0x04}), Silence()},
     .result = kRxFailed,
     .count = 3,
     .reads = {"ReadFile(2)", "ReadFile(1)", "ReadFile(6)"},
     .logs = {"MERIX> Receive() rc=7, fReadEvent=0, iRead=0 (PLC 5)"}},
    {.name = "NoDataPartWhileReadingEvents",
     .requestFunction = 0x42,
     .fReadEvent = 1,
     .line = {Bytes({0x05, 0x42, 0x08}), Silence()},
     .result = kRxWrong,
     .count = 3,
     .reads = {"ReadFile(2)", "ReadFile(1)", "ReadFile(10)"},
     .logs = {"MERIX> Receive() iRead=0 <> iToRead=10 (66,8) (PLC 5)"}},
    {.name = "EmptyEventBlock",
     .requestFunction = 0x42,
     .fReadEvent = 1,
     .line = {Bytes({0x05, 0x42, 0x00, 0xAA, 0xBB})},
     .result = kRxFrame,
     .count = 5,
     .reads = {"ReadFile(2)", "ReadFile(1)", "ReadFile(2)"},
     .logs = {}},
};

INSTANTIATE_TEST_SUITE_P(Replies, ReceiveCase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, ReceiveLongestReplyStaysInsideTheBuffer) {
    ColdStart();
    host->txBuf[1] = 3;
    host->fReadEvent = 0;
    Frame reply{0x05, 0x03, 0xFF};
    reply.resize(3 + 255 + 2, 0x11);
    fake::QueueReply(reply);
    uint32_t n = 0;
    plat::WriteFile(host->hf, host->txBuf, 0, &n);
    uint32_t count = 0;
    TraceWhy why = TraceWhy::kNone;
    EXPECT_EQ(Receive(5, *host, &count, &why), kRxFrame);
    EXPECT_EQ(count, 260u);
}

} // namespace
} // namespace merix::test
