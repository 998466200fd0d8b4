// Reads: internal gates, the request on the line, value layouts, and the retry rules.
#include "gates/address_parser.h"
#include "services/host_log.h"
#include "test_support.h"

namespace merix::test {
namespace {

class ReadTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ColdStart();
        fake::ClearCalls();
        qorlib::ClearLog();
    }
    int32_t Read(AccessGate& gate) { return Call(kSingleRead, &gate.rec); }
    int32_t ReadBlock(AccessGate& gate) { return Call(kBlockRead, &gate.rec); }
    static size_t Requests() { return fake::Written().size(); }
};

TEST_F(ReadTest, SingleRegisterGoesOnTheLineAndLandsAtOffsetTwo) {
    AccessGate gate("01300100", 1, 3, 100);
    fake::QueueReply(WithCrc({0x01, 0x03, 0x02, 0x12, 0x34}));
    EXPECT_EQ(Read(gate), 0);
    ASSERT_EQ(Requests(), 1u);
    EXPECT_EQ(fake::Written()[0], WithCrc({0x01,         // station
                                           0x03,         // read holding registers
                                           0x00, 0x64,   // address 100
                                           0x00, 0x01})) // one register
    ;
    EXPECT_EQ(gate.Word(), 0x1234);
    EXPECT_EQ(gate.value[0], 0xEE) << "bytes 0 and 1 are the host's";
}

// Five digits reach 99999; the request's low 16 bits of 65537 would read register 1.
TEST_F(ReadTest, AddressesBeyond16BitsAreNotAsked) {
    struct Case {
        int32_t address;
        int32_t count;
        bool asked;
    };
    for (const Case c : {Case{65535, 1, true}, Case{65530, 6, true}, Case{65536, 1, false},
                         Case{65530, 7, false}, Case{99999, 1, false}, Case{-1, 1, false}}) {
        fake::ClearWritten();
        AccessGate gate("01300100", 1, 3, c.address, 0, c.count);
        EXPECT_EQ(ReadBlock(gate), c.asked ? 2 : 1) << c.address << "+" << c.count; // silent line
        ASSERT_EQ(Requests() != 0, c.asked) << c.address << "+" << c.count;
        if (c.asked) {
            EXPECT_EQ(fake::Written()[0][2], c.address >> 8); // address, high byte first
            EXPECT_EQ(fake::Written()[0][3], c.address & 0xFF);
        }
        host->plcState[1] = kCommunicating;
    }
    EXPECT_TRUE(qorlib::Logged(
        "MERIX> DoRead() address 65530 (7 values) of PLC 1 is beyond 65535, nothing sent"));
}

TEST_F(ReadTest, SingleDigitalTakesBitZero) {
    AccessGate gate("01100007", 1, 1, 7, kGateTypeDigital);
    fake::QueueReply(WithCrc({0x01, 0x01, 0x01, 0x03}));
    EXPECT_EQ(Read(gate), 0);
    EXPECT_EQ(gate.Word(), 1);
}

struct BitBlockCase {
    int32_t count;
    size_t bytesCopied;
};
class BitBlock : public ReadTest, public ::testing::WithParamInterface<BitBlockCase> {};

TEST_P(BitBlock, CopiesCountOver8Plus1Bytes) {
    const auto [count, copied] = GetParam();
    AccessGate gate("01100000", 1, 1, 0, kGateTypeDigital, count);
    Frame reply{0x01, 0x01, static_cast<uint8_t>((count + 7) / 8)};
    for (int i = 0; i < (count + 7) / 8; ++i) {
        reply.push_back(static_cast<uint8_t>(0xA0 + i));
    }
    fake::QueueReply(WithCrc(reply));
    EXPECT_EQ(ReadBlock(gate), 0);
    const Frame sent = WithCrc(reply);
    for (size_t i = 0; i < copied; ++i) {
        EXPECT_EQ(gate.value[i], sent[3 + i]) << i;
    }
    EXPECT_EQ(gate.value[copied], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(Counts, BitBlock,
                         ::testing::Values(BitBlockCase{16, 3}, BitBlockCase{10, 2},
                                           BitBlockCase{1999, 250}));

TEST_F(ReadTest, RegisterBlockStoresHighByteFirstWords) {
    AccessGate gate("01300000", 1, 3, 0, 0, 127);
    Frame reply{0x01, 0x03, 254};
    for (int i = 0; i < 127; ++i) {
        reply.push_back(static_cast<uint8_t>(i));
        reply.push_back(static_cast<uint8_t>(i + 1));
    }
    fake::QueueReply(WithCrc(reply));
    EXPECT_EQ(ReadBlock(gate), 0);
    for (int i = 0; i < 127; ++i) {
        uint16_t w = 0;
        std::memcpy(&w, gate.value + 2 * i, 2);
        ASSERT_EQ(w, (i << 8) | (i + 1)) << i;
    }
}

TEST_F(ReadTest, ReplyShorterThanTheBlockIsNotStored) {
    AccessGate gate("01300000", 1, 3, 0, 0, 10);
    fake::QueueReply(WithCrc({0x01, 0x03, 0x02, 0x00, 0x01})); // one register, ten asked
    EXPECT_EQ(ReadBlock(gate), 1);
    EXPECT_EQ(Requests(), 1u); // whole and sound on the line: not asked again
    EXPECT_EQ(gate.value[0], 0xEE);
    EXPECT_EQ(host->plcState[1], kCommunicating);
}

TEST_F(ReadTest, CoilReadIntoARegisterGateIsNotFilledFromTheCrc) {
    AccessGate gate("01100007", 1, 1, 7, 0); // type 0 wants two data bytes; a coil gives one
    fake::QueueReply(WithCrc({0x01, 0x01, 0x01, 0x01}));
    EXPECT_EQ(Read(gate), 1);
    EXPECT_EQ(gate.value[2], 0xEE);
}

TEST_F(ReadTest, SilentStationIsAsked5TimesThenPutInError) {
    AccessGate gate("01300100", 1, 3, 100);
    EXPECT_EQ(Read(gate), 2);
    EXPECT_EQ(Requests(), 5u);
    EXPECT_EQ(host->plcState[1], kInError);
    EXPECT_EQ(fake::CallsStartingWith("Sleep(50)").size(), 4u) << "a 50 ms pause before retries";
    EXPECT_TRUE(qorlib::Logged("MERIX> DoRead() : message with length iTlen=6 failed"));
    EXPECT_TRUE(qorlib::Logged("MERIX> DoRead() : sRetry=1, iRlen=0"));
    EXPECT_EQ(gate.value[2], 0xEE) << "the buffer keeps its content after a failure";
}

TEST_F(ReadTest, InErrorTheStationIsStillReadAndDebugAnswers1) {
    host->debugFlag = 1;
    AccessGate gate("01300100", 1, 3, 100);
    EXPECT_EQ(Read(gate), 1);
    EXPECT_TRUE(qorlib::Logged("MERIX> DoRead() REVOCERY ERROR"));
    EXPECT_EQ(host->plcState[1], kInError);
    fake::QueueReply(WithCrc({0x01, 0x03, 0x02, 0x00, 0x05}));
    EXPECT_EQ(Read(gate), 0);
    EXPECT_EQ(host->plcState[1], kInError)
        << "only WarmStart or the station switch clear the error";
}

TEST_F(ReadTest, ExceptionPassedOnAsAFrameEveryTimeEndsInError) {
    AccessGate gate("01300100", 1, 3, 100);
    for (int i = 0; i < 5; ++i) {
        fake::QueueReply(WithCrc({0x01, 0x83, 0x01})); // illegal function: a "complete" reply
    }
    EXPECT_EQ(Read(gate), 2);
    EXPECT_EQ(Requests(), 5u);
    EXPECT_EQ(host->plcState[1], kInError);
}

TEST_F(ReadTest, RefusedValueEndsWith1AndNoError) {
    AccessGate gate("01300100", 1, 3, 100);
    for (int i = 0; i < 5; ++i) {
        fake::QueueReply(WithCrc({0x01, 0x83, 0x03}));
    }
    EXPECT_EQ(Read(gate), 1);
    EXPECT_EQ(host->plcState[1], kCommunicating);
}

TEST_F(ReadTest, BadCrcOnEveryTryEndsWith1AndLogsOnce) {
    AccessGate gate("01300100", 1, 3, 100);
    for (int i = 0; i < 5; ++i) {
        fake::QueueReply(Frame{0x01, 0x03, 0x02, 0x00, 0x01, 0x00, 0x00});
    }
    EXPECT_EQ(Read(gate), 1);
    EXPECT_EQ(host->plcState[1], kCommunicating);
    const auto logs = LogTexts();
    EXPECT_EQ(std::count(logs.begin(), logs.end(), "MERIX> DoRead() Wrong CRC (Retries left 0)"),
              1);
}

TEST_F(ReadTest, WrongRepliesOnlyAreAsked14Times) {
    AccessGate gate("01300100", 1, 3, 100);
    for (int i = 0; i < 20; ++i) {
        fake::QueueReply(WithCrc({0x02, 0x03, 0x02, 0x00, 0x01})); // another station
    }
    EXPECT_EQ(Read(gate), 1);
    EXPECT_EQ(Requests(), 14u);
    EXPECT_EQ(host->plcState[1], kCommunicating);
}

TEST_F(ReadTest, RecoveryOnTheFifthTry) {
    AccessGate gate("01300100", 1, 3, 100);
    for (int i = 0; i < 4; ++i) {
        fake::QueueSilence();
    }
    fake::QueueReply(WithCrc({0x01, 0x03, 0x02, 0x00, 0x2A}));
    EXPECT_EQ(Read(gate), 0);
    EXPECT_EQ(gate.Word(), 42);
}

TEST_F(ReadTest, SwitchedOffStationIsNotAsked) {
    host->plcState[1] = kSwitchedOff;
    AccessGate gate("01300100", 1, 3, 100);
    EXPECT_EQ(Read(gate), 2);
    EXPECT_EQ(Requests(), 0u);
    EXPECT_TRUE(qorlib::Logged("MERIX> DoRead() Communication with PLC 1 switched off"));
}

TEST_F(ReadTest, StationsBeyondTheTablesAreReadWithoutAStateEntry) {
    AccessGate gate("40300100", 40, 3, 100);
    fake::QueueReply(WithCrc({40, 0x03, 0x02, 0x00, 0x07}));
    EXPECT_EQ(Read(gate), 0);
    EXPECT_EQ(gate.Word(), 7);
    const DriverContext before = *host;
    EXPECT_EQ(Read(gate), 2); // silent now
    for (int s = 0; s < kStationCount; ++s) {
        EXPECT_EQ(host->plcState[s], before.plcState[s]);
    }
}

TEST_F(ReadTest, ClosedPortRefusesWithoutTraffic) {
    Call(kCloseCom);
    AccessGate gate("01300100", 1, 3, 100);
    EXPECT_EQ(Read(gate), 1);
    EXPECT_EQ(ReadBlock(gate), 1);
    EXPECT_EQ(Requests(), 0u);
}

// A record whose function is a write would otherwise go out as a write no WRITE line allowed.
TEST_F(ReadTest, RecordOfAnotherFunctionSendsNothing) {
    for (int function : {0, 5, 6, 7, 0x41, 0x46, 256, -1}) {
        AccessGate gate("01300100", 1, function, 100);
        EXPECT_EQ(Read(gate), 1) << function;
        EXPECT_EQ(ReadBlock(gate), 1) << function;
    }
    EXPECT_EQ(Requests(), 0u);
    EXPECT_TRUE(qorlib::Logged("MERIX> DoRead() function 6 of PLC 1 reads no gates, nothing sent"));
}

TEST_F(ReadTest, EventGatesAreNotReadFromTheLine) {
    host->debugFlag = 1;
    for (const char* text : {"E010003", "e010003"}) {
        AccessGate gate(text, 1, 69, 3, kGateTypeDigital);
        EXPECT_EQ(Read(gate), 1);
        EXPECT_EQ(ReadBlock(gate), 1);
    }
    EXPECT_EQ(Requests(), 0u);
    EXPECT_TRUE(qorlib::Logged("MERIX> BlockRead() Illegal for gate E010003"));
}

TEST_F(ReadTest, TimeGateCannotBeRead) {
    host->debugFlag = 1;
    AccessGate gate("$TIME", 1, 3, 0xFFFC);
    EXPECT_EQ(Read(gate), 1);
    EXPECT_TRUE(qorlib::Logged("MERIX> SingleRead() Illegal for gate $TIME"));
}

struct InternalReadCase {
    const char* text;
    int32_t address;
    double expected;
};

class InternalRead : public ReadTest, public ::testing::WithParamInterface<InternalReadCase> {};

TEST_P(InternalRead, AnswersFromTheContext) {
    host->IFG = 12;
    host->fDelay = -0.5f;
    host->debugFlag = 1;
    host->plcState[7] = kInError;
    host->plcState[8] = kSwitchedOff;
    AccessGate gate(GetParam().text, 255, 80, GetParam().address, kGateTypeDigital);
    EXPECT_EQ(Read(gate), 0);
    ASSERT_EQ(qorlib::UnCookCalls().size(), 1u);
    EXPECT_EQ(qorlib::UnCookCalls()[0].value, GetParam().expected);
    EXPECT_EQ(qorlib::UnCookCalls()[0].hostWord, 36u);
    EXPECT_EQ(Requests(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Gates, InternalRead,
    ::testing::Values(InternalReadCase{"IFG", 253, 12}, InternalReadCase{"FDELAY", 254, -5},
                      InternalReadCase{"DEBUG", 255, 1}, InternalReadCase{"HIMA07", 7, 1},
                      InternalReadCase{"HIMA08", 8, 1}, InternalReadCase{"HIMA09", 9, 0}));

TEST_F(ReadTest, InternalGateOutsideTheTablesOrWithAnotherStationAnswers1) {
    for (int32_t address : {40, -1, 99, 252}) {
        AccessGate gate("HIMA40", 255, 80, address, kGateTypeDigital);
        EXPECT_EQ(Read(gate), 1) << address;
    }
    EXPECT_TRUE(qorlib::UnCookCalls().empty());
    AccessGate wrong("IFG", 1, 80, 253);
    EXPECT_EQ(Read(wrong), 1);
    EXPECT_TRUE(qorlib::Logged("MERIX> Read() Wrong parameter"));
    AccessGate block("IFG", 255, 80, 253);
    EXPECT_EQ(ReadBlock(block), 1);
}

} // namespace
} // namespace merix::test
