// Writes: internal targets, frames of coil and register writes, echo check, time sync.
#include "gates/address_parser.h"
#include "services/host_log.h"
#include "test_support.h"

namespace merix::test {
namespace {

class WriteTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ColdStart();
        fake::ClearCalls();
        qorlib::ClearLog();
    }
    int32_t Write(AccessGate& gate, int16_t value) {
        gate.SetWord(value);
        return Call(kSingleWrite, &gate.rec);
    }
    static size_t Requests() { return fake::Written().size(); }
};

TEST_F(WriteTest, InternalSettings) {
    AccessGate ifg("IFG", 255, 80, 253);
    EXPECT_EQ(Write(ifg, 20), 0);
    EXPECT_EQ(host->IFG, 20);
    for (int16_t refused : {5000, -1, INT16_MIN}) {
        EXPECT_EQ(Write(ifg, refused), 1) << refused;
        EXPECT_EQ(host->IFG, 20) << "the gap in force stays";
    }
    EXPECT_TRUE(qorlib::Logged("MERIX> SingleWrite() IFG = -1 refused: not below 5000 ms, IFG "
                               "stays 20",
                               kLogError));
    AccessGate fdelay("FDELAY", 255, 80, 254);
    EXPECT_EQ(Write(fdelay, 70), 0);
    EXPECT_FLOAT_EQ(host->fDelay, 7.0f);
    EXPECT_EQ(Write(fdelay, -5), 0);
    EXPECT_FLOAT_EQ(host->fDelay, -0.5f);
    EXPECT_EQ(Write(fdelay, 5000), 0);
    EXPECT_FLOAT_EQ(host->fDelay, -0.5f) << "5000 or more changes nothing";
    AccessGate debug("DEBUG", 255, 80, 255, kGateTypeDigital);
    EXPECT_EQ(Write(debug, 2), 1);
    EXPECT_EQ(host->debugFlag, 0);
    EXPECT_EQ(Write(debug, 1), 0);
    EXPECT_EQ(host->debugFlag, 1);
    EXPECT_TRUE(qorlib::Logged("MERIX> SingleWrite() FDelay = 7.0"));
    EXPECT_EQ(Requests(), 0u);
}

TEST_F(WriteTest, StationSwitchWorksWithWarmStart) {
    AccessGate hima("HIMA05", 255, 80, 5, kGateTypeDigital);
    AccessGate reg("05300001", 5, 3, 1);
    EXPECT_EQ(Write(hima, 1), 0);
    EXPECT_EQ(host->plcState[5], kSwitchedOff);
    EXPECT_EQ(Call(kSingleRead, &reg.rec), 2) << "a switched-off station is not read";
    EXPECT_EQ(Requests(), 0u);

    EXPECT_EQ(Write(hima, 0), 0);
    EXPECT_EQ(host->plcState[5], kInError) << "switched on, but in error until WarmStart";
    StationArg arg{5};
    host->fEF[5] = 0;
    EXPECT_EQ(Call(kWarmStart, &arg), 0);
    EXPECT_EQ(host->plcState[5], kCommunicating);
    EXPECT_EQ(host->fEF[5], 1u);

    host->plcState[5] = kInError;
    host->fEF[5] = 0;
    EXPECT_EQ(Write(hima, 0), 0);
    EXPECT_EQ(host->plcState[5], kCommunicating) << "a station in error comes back at once";
    EXPECT_EQ(host->fEF[5], 1u);
    EXPECT_EQ(Write(hima, 3), 1);
}

TEST_F(WriteTest, InternalTargetsOutsideTheTablesAnswer1) {
    for (int32_t address : {32, 99, -1, 252, 256}) {
        AccessGate gate("HIMA99", 255, 80, address, kGateTypeDigital);
        EXPECT_EQ(Write(gate, 1), 1) << address;
    }
    AccessGate wrong("IFG", 3, 80, 253);
    EXPECT_EQ(Write(wrong, 1), 1);
    EXPECT_TRUE(qorlib::Logged("MERIX> Write() Wrong parameter"));
}

struct FrameCase {
    const char* text;
    int32_t function;
    int16_t value;
    Frame frame;
};

class WriteFrame : public WriteTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(WriteFrame, GoesOnTheLineAndTheEchoIsAccepted) {
    const FrameCase& c = GetParam();
    AccessGate gate(c.text, 5, c.function, 0x0102, c.function == 1 ? 6 : 0);
    const Frame request = WithCrc(c.frame);
    fake::QueueReply(request); // the controller's echo
    EXPECT_EQ(Write(gate, c.value), 0);
    ASSERT_EQ(Requests(), 1u);
    EXPECT_EQ(fake::Written()[0], request);
    EXPECT_EQ(host->fixedReply, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, WriteFrame,
    ::testing::Values(FrameCase{"05100258", 1, 7, {0x05, 0x05, 0x01, 0x02, 0xFF, 0x00}}, // coil ON
                      FrameCase{"05100258", 1, 0, {0x05, 0x05, 0x01, 0x02, 0x00, 0x00}}, // coil OFF
                      FrameCase{"05100258", 1, -1, {0x05, 0x05, 0x01, 0x02, 0xFF, 0x00}}, // ON
                      FrameCase{"05300258", 3, -2, {0x05, 0x06, 0x01, 0x02, 0xFF, 0xFE}},
                      FrameCase{"05300258", 3, 0x1234, {0x05, 0x06, 0x01, 0x02, 0x12, 0x34}}));

TEST_F(WriteTest, InputsCannotBeWrittenAndClosedPortRefuses) {
    AccessGate input("05200001", 5, 2, 1, kGateTypeDigital);
    AccessGate inputReg("05400001", 5, 4, 1);
    EXPECT_EQ(Write(input, 1), 1);
    EXPECT_EQ(Write(inputReg, 1), 1);
    AccessGate event("E050001", 5, 69, 1, kGateTypeDigital);
    EXPECT_EQ(Write(event, 1), 1);
    AccessGate events("$EVENT", 5, 3, 0xFFFD);
    EXPECT_EQ(Write(events, 1), 1);
    AccessGate error("$ERROR", 5, 3, 0xFFFE); // would go out as register 65534
    EXPECT_EQ(Write(error, 1), 1);
    Call(kCloseCom);
    AccessGate reg("05300001", 5, 3, 1);
    EXPECT_EQ(Write(reg, 1), 1);
    EXPECT_EQ(Requests(), 0u);
}

TEST_F(WriteTest, SwitchedOffStationIsStillWritten) {
    host->plcState[5] = kSwitchedOff;
    AccessGate reg("05300001", 5, 3, 1);
    fake::QueueReply(WithCrc({0x05, 0x06, 0x00, 0x01, 0x00, 0x09}));
    EXPECT_EQ(Write(reg, 9), 0);
    EXPECT_EQ(Requests(), 1u);
}

TEST_F(WriteTest, EchoWithAnotherAddressOrValueIsAWrongReplyAndRetried) {
    AccessGate reg("05300001", 5, 3, 1);
    fake::QueueReply(WithCrc({0x05, 0x06, 0x00, 0x01, 0x77, 0x77})); // other value
    fake::QueueReply(WithCrc({0x05, 0x06, 0x00, 0x02, 0x00, 0x09})); // other address
    fake::QueueReply(WithCrc({0x05, 0x06, 0x00, 0x01, 0x00, 0x09}));
    EXPECT_EQ(Write(reg, 9), 0);
    EXPECT_EQ(Requests(), 3u);
    EXPECT_TRUE(qorlib::Logged("MERIX> SingleWrite() echo differs: sent address 1 value 0009, "
                               "echoed address 1 value 7777",
                               kLogDetail));
    EXPECT_TRUE(qorlib::Logged("MERIX> SingleWrite() echo differs: sent address 1 value 0009, "
                               "echoed address 2 value 0009",
                               kLogDetail));
    EXPECT_TRUE(qorlib::Logged("MERIX> SingleWrite() : sRetry=4, reply_len=8"))
        << "a wrong reply takes from the budget, not from the five tries";
}

TEST_F(WriteTest, RefusalOnEveryTryAnswers1) {
    AccessGate reg("05300001", 5, 3, 1);
    for (int i = 0; i < 5; ++i) {
        fake::QueueReply(WithCrc({0x05, 0x86, 0x01}));
    }
    EXPECT_EQ(Write(reg, 9), 1);
    EXPECT_EQ(Requests(), 5u);
    EXPECT_TRUE(qorlib::Logged("MERIX> SingleWrite(), Modbus error 134"));
    EXPECT_EQ(host->plcState[5], kCommunicating) << "a write never puts a station in error";
}

struct WrongReplyCase {
    const char* name;
    Frame reply; // to every request, without its CRC
};

class WrongReplyEveryTime : public WriteTest,
                            public ::testing::WithParamInterface<WrongReplyCase> {};

// The first try is one of the five; each wrong reply then takes one of the thirteen further
// tries, so a wrong reply every time is asked fourteen times and ends as a wrong reply.
TEST_P(WrongReplyEveryTime, IsAsked14TimesAndAnswers3) {
    AccessGate reg("05300001", 5, 3, 1);
    for (int i = 0; i < 20; ++i) {
        fake::QueueReply(WithCrc(GetParam().reply));
    }
    EXPECT_EQ(Write(reg, 9), 3);
    const Frame request = WithCrc({0x05,         // station
                                   0x06,         // write single register
                                   0x00, 0x01,   // address
                                   0x00, 0x09}); // value
    EXPECT_EQ(fake::Written(), std::vector<Frame>(14, request));
    EXPECT_EQ(host->fixedReply, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, WrongReplyEveryTime,
    ::testing::Values(WrongReplyCase{"OtherStation",
                                     {0x06,         // another station
                                      0x06,         // write single register
                                      0x00, 0x01,   // address
                                      0x00, 0x09}}, // value
                      // A whole frame from the station asked, with a good CRC: only the
                      // echo check can tell it is not the answer to this request.
                      WrongReplyCase{"EchoDiffers",
                                     {0x05,          // station
                                      0x06,          // write single register
                                      0x00, 0x01,    // address
                                      0x00, 0x08}}), // another value
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WriteTest, SilenceAnswers2AndCrcErrorsAnswer1) {
    AccessGate reg("05300001", 5, 3, 1);
    EXPECT_EQ(Write(reg, 9), 2);
    EXPECT_EQ(Requests(), 5u);
    EXPECT_EQ(fake::CallsStartingWith("ClearCommError").size(), 5u)
        << "purged once before each request, after its gap";
    for (int i = 0; i < 5; ++i) {
        fake::QueueReply(Frame{0x05, 0x06, 0x00, 0x01, 0x00, 0x09, 0x00, 0x00});
    }
    EXPECT_EQ(Write(reg, 9), 1);
    EXPECT_TRUE(qorlib::Logged("MERIX> SingleWrite(), CRC error"));
}

TEST_F(WriteTest, TimeSyncBroadcastsTheLocalTime) {
    fake::SetNow(plat::LocalTime{2003, 11, 24, 10, 7, 5, 456, 0});
    AccessGate time("$TIME", 0, 3, 0xFFFC);
    EXPECT_EQ(Write(time, 1), 0);
    ASSERT_EQ(Requests(), 1u);
    EXPECT_EQ(fake::Written()[0], WithCrc({0x00, // broadcast
                                           0x46, // time synchronisation
                                           0x08, // eight time bytes
                                           56, 4, 5, 7, 10, 24, 11, 3}));
    EXPECT_TRUE(fake::CallsStartingWith("ReadFile").empty()) << "no reply is awaited";
    EXPECT_EQ(fake::CallsStartingWith("Sleep(50)").size(), 1u);
    EXPECT_TRUE(qorlib::Logged("MERIX> Time synchronization command was issued successful!"));
}

TEST_F(WriteTest, TimeSyncThatCannotBeSentIsReportedAsAFailure) {
    fake::FailNext("WriteFile");
    AccessGate time("$TIME", 0, 3, 0xFFFC);
    EXPECT_EQ(Write(time, 1), 2);
    EXPECT_EQ(RunTimeErrors(), std::vector<int>{5070});
    EXPECT_FALSE(qorlib::Logged("MERIX> Time synchronization command was issued successful!"));
}

TEST_F(WriteTest, BlockWriteAnswers1) {
    AccessGate reg("05300001", 5, 3, 1);
    EXPECT_EQ(Call(kBlockWrite, &reg.rec), 1);
    EXPECT_EQ(Requests(), 0u);
}

} // namespace
} // namespace merix::test
