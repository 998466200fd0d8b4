// Serial port access through the fake platform.
#include "serial/com_port.h"
#include "services/host_log.h"
#include "test_support.h"

namespace merix::test {
namespace {

class ComPortTest : public DriverTest {
protected:
    plat::Handle Open(const char* name = "COM1", uint16_t mask = 0) {
        plat::Handle h = 0;
        EXPECT_EQ(ComOpen(name, PortSettings{9600, 8, 0, 2}, mask, &h), kComOk);
        fake::ClearCalls();
        return h;
    }
};

TEST_F(ComPortTest, NulIsUsedUnconfiguredButLowerCaseNulIsConfigured) {
    plat::Handle h = 0;
    EXPECT_EQ(ComOpen("NUL", PortSettings{9600, 8, 0, 2}, 0, &h), kComOk);
    EXPECT_EQ(fake::Calls(), std::vector<std::string>{"CreateFileA(NUL)"});
    fake::ClearCalls();
    EXPECT_EQ(ComOpen("nul", PortSettings{9600, 8, 0, 2}, 0, &h), kComOk);
    EXPECT_EQ(fake::Calls(),
              (std::vector<std::string>{"CreateFileA(nul)", "GetCommState", "SetCommTimeouts(1000)",
                                        "SetCommState(9600)", "SetupComm(1200,1200)"}));
}

TEST_F(ComPortTest, OpenFailures) {
    plat::Handle h = 0;
    fake::SetExistingPorts({"COM1"});
    EXPECT_EQ(ComOpen("COM9", PortSettings{9600, 8, 0, 2}, 0, &h), kComOpenFailed);
    EXPECT_EQ(h, plat::kInvalidHandle);

    fake::FailNext("GetCommState");
    EXPECT_EQ(ComOpen("COM1", PortSettings{9600, 8, 0, 2}, 0, &h), kComGetStateFailed);
    EXPECT_FALSE(fake::PortOpen()) << "the handle is closed when the state cannot be read";

    fake::FailNext("SetCommTimeouts");
    EXPECT_EQ(ComOpen("COM1", PortSettings{9600, 8, 0, 2}, 0, &h), kComOpenFailed);
    EXPECT_FALSE(fake::PortOpen()) << "a port that failed to open is not left open";
    fake::FailNext("SetCommState");
    EXPECT_EQ(ComOpen("COM1", PortSettings{9600, 8, 0, 2}, 0, &h), kComSetStateFailed);
    EXPECT_FALSE(fake::PortOpen());
}

struct MaskCase {
    uint16_t mask;
    uint8_t dtr;
    uint8_t rts;
};

class LineMask : public ComPortTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(LineMask, ChoosesTheLineModes) {
    fake::SetRs485Supported(true); // a port that has every mode, toggle included
    Open("COM1", GetParam().mask);
    EXPECT_EQ(fake::CommState().fDtrControl, GetParam().dtr);
    EXPECT_EQ(fake::CommState().fRtsControl, GetParam().rts);
    EXPECT_TRUE(fake::CommState().fParity) << "parity checking is on even for parity none";
}

INSTANTIATE_TEST_SUITE_P(Masks, LineMask,
                         ::testing::Values(MaskCase{0x0303, plat::kDtrEnable, plat::kRtsEnable},
                                           MaskCase{0x0000, plat::kDtrDisable, plat::kRtsDisable},
                                           MaskCase{0x8001, plat::kDtrEnable, plat::kRtsDisable},
                                           MaskCase{0x8000, plat::kDtrHandshake, plat::kRtsDisable},
                                           MaskCase{0x3000, plat::kDtrDisable, plat::kRtsHandshake},
                                           MaskCase{0x2000, plat::kDtrDisable, plat::kRtsToggle},
                                           MaskCase{0x0200, plat::kDtrDisable, plat::kRtsEnable}));

TEST_F(ComPortTest, SetTimeoutConvertsAndWritesOnlyChanges) {
    const auto h = Open();
    EXPECT_EQ(ComSetTimeout(h, 20), 100);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 200u);
    fake::ClearCalls();
    EXPECT_EQ(ComSetTimeout(h, 20), 20);
    EXPECT_TRUE(fake::CallsStartingWith("SetCommTimeouts").empty());

    plat::CommTimeouts t;
    t.readTotalTimeoutConstant = 995;
    plat::SetCommTimeouts(h, t);
    EXPECT_EQ(ComSetTimeout(h, 20), 99);
}

TEST_F(ComPortTest, SetTimeoutThatFailsAnswers0AndKeepsTheTimeout) {
    const auto h = Open();
    ComSetTimeout(h, 20);
    fake::FailNext("GetCommTimeouts");
    EXPECT_EQ(ComSetTimeout(h, 30), 0);
    fake::FailNext("SetCommTimeouts");
    EXPECT_EQ(ComSetTimeout(h, 30), 0);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, 200u);
}

TEST_F(ComPortTest, ZeroTimeoutNeverBecomesAnUnboundedRead) {
    const auto h = Open();
    EXPECT_EQ(ComSetTimeout(h, 0), 100);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, kOpenReadTimeoutMs);
    EXPECT_EQ(ComSetTimeout(h, -1), 100);
    EXPECT_EQ(fake::Timeouts().readTotalTimeoutConstant, kOpenReadTimeoutMs);
}

TEST_F(ComPortTest, PurgeWithEmptyQueueReadsNothing) {
    const auto h = Open();
    EXPECT_EQ(ComPurge(h), 0);
    EXPECT_EQ(fake::Calls(), std::vector<std::string>{"ClearCommError"});
}

TEST_F(ComPortTest, PurgeOf600PendingBytesReads512Then88AndRestoresTheTimeout) {
    const auto h = Open();
    ComSetTimeout(h, 20);
    fake::ClearCalls();
    fake::SetPending(std::vector<uint8_t>(600, 0x55));
    EXPECT_EQ(ComPurge(h), 0);
    EXPECT_EQ(fake::Calls(),
              (std::vector<std::string>{"ClearCommError", "GetCommTimeouts", "SetCommTimeouts(50)",
                                        "ReadFile(512)", "ReadFile(512)", "GetCommTimeouts",
                                        "SetCommTimeouts(200)"}));
}

TEST_F(ComPortTest, PurgeReportsAFailedRead) {
    const auto h = Open();
    fake::FailNext("ClearCommError");
    fake::FailNext("ReadFile");
    EXPECT_EQ(ComPurge(h), 1);
}

TEST_F(ComPortTest, ReadShortCountIsSuccessAndSilenceIsFailure) {
    const auto h = Open();
    uint8_t buf[3];
    uint32_t n = 99;
    fake::SetPending({0x01});
    EXPECT_EQ(ComRead(h, buf, 3, &n), kComOk);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(ComRead(h, buf, 3, &n), kComFailed);
    EXPECT_EQ(n, 0u);
}

TEST_F(ComPortTest, ShortWrite) {
    const auto h = Open();
    const uint8_t frame[8] = {};
    uint32_t n = 0;
    fake::ShortWriteNext(5);
    EXPECT_EQ(ComWrite(h, frame, 8, &n), kComShortWrite);
    EXPECT_EQ(n, 5u);
    fake::FailNext("WriteFile");
    n = 42;
    EXPECT_EQ(ComWrite(h, frame, 8, &n), kComFailed);
    EXPECT_EQ(n, 42u);
}

TEST_F(ComPortTest, BreakAndClose) {
    const auto h = Open();
    EXPECT_EQ(ComBreak(30, h), 0);
    EXPECT_EQ(fake::Calls(),
              (std::vector<std::string>{"SetCommBreak", "Sleep(30)", "ClearCommBreak"}));
    fake::FailNext("CloseHandle");
    EXPECT_EQ(ComClose(h), kComFailed);
    EXPECT_EQ(ComClose(h), kComOk);
}

} // namespace
} // namespace merix::test

namespace merix::test {
namespace {

struct FramingCase {
    uint16_t dataBits;
    uint16_t stopBits;
    bool refused;
    uint16_t parity = 0;
};

class Framing : public ComPortTest, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(Framing, WhatWindowsRefusesIsRefusedEverywhere) {
    const FramingCase& c = GetParam();
    plat::Handle h = 0;
    const int code = ComOpen("COM1", PortSettings{9600, c.dataBits, c.stopBits, c.parity}, 0, &h);
    EXPECT_EQ(code, c.refused ? kComSetStateFailed : kComOk);
    EXPECT_EQ(fake::PortOpen(), !c.refused);
    EXPECT_EQ(qorlib::Log().size(), c.refused ? 1u : 0u);
    if (c.refused) {
        EXPECT_EQ(qorlib::Log()[0].level, kLogError);
        EXPECT_TRUE(fake::CallsStartingWith("SetCommState").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(DataAndStopBits, Framing,
                         ::testing::Values(FramingCase{5, 0, false}, FramingCase{5, 1, false},
                                           FramingCase{5, 2, true}, FramingCase{6, 1, true},
                                           FramingCase{7, 1, true}, FramingCase{8, 1, true},
                                           FramingCase{6, 2, false}, FramingCase{7, 2, false},
                                           FramingCase{8, 2, false}, FramingCase{8, 0, false},
                                           // Outside what a DCB takes, cut to a byte or not.
                                           FramingCase{9, 0, true}, FramingCase{4, 0, true},
                                           FramingCase{261, 0, true}, FramingCase{8, 3, true},
                                           FramingCase{8, 0, false, 4},
                                           FramingCase{8, 0, true, 5}));

TEST(WriteTimeout, IsTheCharacterTimeRoundedUpToWholeMilliseconds) {
    EXPECT_EQ(WriteTimeoutPerByteMs(PortSettings{9600, 8, 0, 2}), 2u);  // 1.146 ms
    EXPECT_EQ(WriteTimeoutPerByteMs(PortSettings{57600, 8, 0, 0}), 1u); // 0.174 ms
    EXPECT_EQ(WriteTimeoutPerByteMs(PortSettings{2400, 8, 2, 2}), 5u);  // exactly 5.0 ms
    EXPECT_EQ(WriteTimeoutPerByteMs(PortSettings{300, 7, 1, 1}), 35u);  // exactly 35.0 ms
    EXPECT_EQ(WriteTimeoutPerByteMs(PortSettings{1200, 8, 0, 0}), 9u);  // 8.33 ms
    EXPECT_EQ(WriteTimeoutPerByteMs(PortSettings{0, 8, 0, 0}), 0u);
}

TEST_F(ComPortTest, OpenBoundsWritesAndKeepsTheBoundThroughTimeoutChanges) {
    const auto h = Open();
    EXPECT_EQ(fake::Timeouts().writeTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(fake::Timeouts().writeTotalTimeoutConstant, kWriteMarginMs);
    ComSetTimeout(h, 20);
    fake::SetPending(std::vector<uint8_t>(10, 0x55));
    ComPurge(h);
    EXPECT_EQ(fake::Timeouts().writeTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(fake::Timeouts().writeTotalTimeoutConstant, kWriteMarginMs);
}

TEST_F(ComPortTest, GoneIsWhatClearCommErrorSays) {
    const auto h = Open();
    EXPECT_FALSE(ComGone(h));
    EXPECT_TRUE(plat::WaitWritten(h));
    fake::Unplug();
    EXPECT_TRUE(ComGone(h));
    EXPECT_EQ(plat::LastError(), plat::kErrorBadCommand);
    EXPECT_FALSE(plat::WaitWritten(h));
}

class Rs485 : public ComPortTest, public ::testing::WithParamInterface<bool> {};

TEST_P(Rs485, TakenByAPortThatHasTheModeElseThePortStaysAsItWas) {
    const bool supported = GetParam();
    fake::SetRs485Supported(supported);
    const auto h = Open("COM1", 0x0303);
    uint32_t refusal = 0;
    EXPECT_EQ(ComTakeRs485(h, &refusal), supported);
    const plat::Dcb dcb = fake::CommState();
    EXPECT_EQ(dcb.fRtsControl, supported ? plat::kRtsToggle : plat::kRtsEnable);
    EXPECT_EQ(dcb.fDtrControl, plat::kDtrEnable) << "DTR keeps its mode";
    EXPECT_EQ(dcb.baudRate, 9600u);
    EXPECT_EQ(dcb.parity, 2);
    EXPECT_EQ(refusal, supported ? 0u : plat::kErrorInvalidParameter);
}

INSTANTIATE_TEST_SUITE_P(PortHasTheMode, Rs485, ::testing::Bool());

struct LineErrorCase {
    plat::LineErrors seen;
    uint32_t flags; ///< what ClearCommError reports for them
};

class LineErrorsTest : public ComPortTest, public ::testing::WithParamInterface<LineErrorCase> {
protected:
    void WriteWithErrors(plat::Handle h) {
        const uint8_t frame[8] = {};
        uint32_t n = 0;
        fake::QueueLineErrors(GetParam().seen);
        plat::LineErrors none;
        ASSERT_TRUE(ComLineErrors(h, &none));
        EXPECT_EQ(none.framing + none.parity + none.overrun, 0u) << "seen only with the reply";
        ComWrite(h, frame, 8, &n);
    }
};

TEST_P(LineErrorsTest, ReadBackExactlyOnceAsCountsOrAsFlags) {
    const LineErrorCase& c = GetParam();
    const auto h = Open();
    WriteWithErrors(h);
    plat::LineErrors got;
    ASSERT_TRUE(ComLineErrors(h, &got));
    EXPECT_EQ(got.framing, c.seen.framing);
    EXPECT_EQ(got.parity, c.seen.parity);
    EXPECT_EQ(got.overrun, c.seen.overrun);
    ASSERT_TRUE(ComLineErrors(h, &got));
    EXPECT_EQ(got.framing + got.parity + got.overrun, 0u) << "reported once";

    WriteWithErrors(h);
    uint32_t flags = 0;
    uint32_t pending = 0;
    ASSERT_TRUE(plat::ClearCommError(h, &flags, &pending));
    EXPECT_EQ(flags, c.flags);
    ASSERT_TRUE(ComLineErrors(h, &got));
    EXPECT_EQ(got.framing + got.parity + got.overrun, 0u) << "ClearCommError cleared them";

    WriteWithErrors(h);
    plat::LineErrors cleared;
    ComPurge(h, &cleared);
    EXPECT_EQ(cleared.framing, c.seen.framing != 0 ? 1u : 0u) << "a purge tells what it cleared";
    EXPECT_EQ(cleared.parity, c.seen.parity != 0 ? 1u : 0u);
    EXPECT_EQ(cleared.overrun, c.seen.overrun != 0 ? 1u : 0u);
}

TEST(LineErrorFlags, CountOneEachAndABreakIsAFramingError) {
    struct Row {
        uint32_t flags;
        plat::LineErrors counts;
    };
    for (const Row& row :
         {Row{plat::kCeBreak, {1, 0, 0}}, Row{plat::kCeBreak | plat::kCeFrame, {1, 0, 0}},
          Row{plat::kCeRxParity, {0, 1, 0}}, Row{plat::kCeRxOver | plat::kCeOverrun, {0, 0, 2}}}) {
        const plat::LineErrors e = plat::LineErrorsFromFlags(row.flags);
        EXPECT_EQ(e.framing, row.counts.framing) << row.flags;
        EXPECT_EQ(e.parity, row.counts.parity) << row.flags;
        EXPECT_EQ(e.overrun, row.counts.overrun) << row.flags;
    }
}

INSTANTIATE_TEST_SUITE_P(Errors, LineErrorsTest,
                         ::testing::Values(LineErrorCase{{1, 0, 0}, plat::kCeFrame},
                                           LineErrorCase{{0, 4, 0}, plat::kCeRxParity},
                                           LineErrorCase{{0, 0, 2}, plat::kCeOverrun},
                                           LineErrorCase{{3, 1, 7},
                                                         plat::kCeFrame | plat::kCeRxParity |
                                                             plat::kCeOverrun}));

TEST_F(ComPortTest, LineErrorsOfAPortThatCannotReportThemAnswerFalseWithNoCounts) {
    const auto h = Open();
    const uint8_t frame[8] = {};
    uint32_t n = 0;
    fake::SetLineErrorsReported(false);
    fake::QueueLineErrors({2, 2, 2});
    ComWrite(h, frame, 8, &n);
    plat::LineErrors got{9, 9, 9};
    EXPECT_FALSE(ComLineErrors(h, &got));
    EXPECT_EQ(got.framing + got.parity + got.overrun, 0u);
    EXPECT_EQ(plat::LastError(), plat::kErrorNotSupported);
}

} // namespace
} // namespace merix::test
