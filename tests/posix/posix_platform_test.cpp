// The POSIX backend's error reports and bounded drain, on a pseudo-terminal whose device-side
// answers (error counts, output still queued) the test feeds.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "platform/platform.h"
#include "platform/posix_system.h"
#include "tests/e2e/pty_pair.h"

namespace merix::test {

/// What the serial-device requests answer, in place of platform/linux_serial.cpp: what a UART
/// would count and hold, a pseudo-terminal does not. One device behind every descriptor.
struct FedDevice {
    bool counted = true; ///< false: a device that keeps no error counts
    plat::sys::ErrorCounts counts;
    int outputQueued = 0; ///< answered until `drainedAt`, 0 from then on
    std::chrono::steady_clock::time_point drainedAt = std::chrono::steady_clock::time_point::max();
    bool rs485 = false;
};
FedDevice g_fed;

} // namespace merix::test

namespace merix::plat::sys {

bool ReadErrorCounts(int, ErrorCounts* counts) {
    if (!test::g_fed.counted) {
        errno = ENOTTY;
        return false;
    }
    *counts = test::g_fed.counts;
    return true;
}

int OutputQueued(int) {
    return std::chrono::steady_clock::now() < test::g_fed.drainedAt ? test::g_fed.outputQueued : 0;
}

bool Rs485Enabled(int) {
    return test::g_fed.rs485;
}

bool SetRs485(int, bool on) {
    test::g_fed.rs485 = on;
    return true;
}

bool SetLowLatency(int) {
    errno = ENOTTY;
    return false;
}

} // namespace merix::plat::sys

namespace merix::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class FedPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << "no pseudo-terminal available";
        g_fed = FedDevice{};
    }
    void TearDown() override { plat::CloseHandle(h); }
    void Open() {
        h = plat::CreateFileA(pty.name().c_str());
        ASSERT_NE(h, plat::kInvalidHandle);
    }
    PtyPair pty;
    plat::Handle h = plat::kInvalidHandle;
};

struct CountsCase {
    const char* name;
    plat::sys::ErrorCounts atOpen; ///< what the device had counted before the port was opened
    plat::sys::ErrorCounts later;
    plat::LineErrors taken;
    uint32_t flags; ///< ClearCommError's
};

class LineErrorCounts : public FedPortTest, public ::testing::WithParamInterface<CountsCase> {};

constexpr uint32_t kTop = 0xFFFFFFFFu;

const CountsCase kCountsCases[] = {
    {"NothingSinceOpen", {1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, {0, 0, 0}, 0},
    {"BreakCountsAsFraming",
     {},
     {.frame = 1, .brk = 2},
     {.framing = 3},
     plat::kCeFrame | plat::kCeBreak},
    {"BreakAlone", {}, {.brk = 1}, {.framing = 1}, plat::kCeBreak},
    {"BufferOverrunIsOverrun",
     {},
     {.overrun = 1, .bufferOverrun = 2},
     {.overrun = 3},
     plat::kCeOverrun | plat::kCeRxOver},
    {"AcrossTheWrap",
     {kTop - 1, kTop, kTop - 2, kTop, kTop},
     {3, 1, 0, 0, 0},
     {.framing = 5 + 2, .parity = 3, .overrun = 1 + 1},
     plat::kCeFrame | plat::kCeBreak | plat::kCeRxParity | plat::kCeOverrun | plat::kCeRxOver},
};

TEST_P(LineErrorCounts, ReportedOnceByTakeLineErrors) {
    g_fed.counts = GetParam().atOpen;
    Open();
    g_fed.counts = GetParam().later;
    plat::LineErrors e{};
    ASSERT_TRUE(plat::TakeLineErrors(h, &e));
    EXPECT_EQ(e.framing, GetParam().taken.framing);
    EXPECT_EQ(e.parity, GetParam().taken.parity);
    EXPECT_EQ(e.overrun, GetParam().taken.overrun);
    ASSERT_TRUE(plat::TakeLineErrors(h, &e));
    EXPECT_EQ(e.framing + e.parity + e.overrun, 0u) << "reported again";
}

TEST_P(LineErrorCounts, ClearCommErrorFlagsThemAndTakesThem) {
    g_fed.counts = GetParam().atOpen;
    Open();
    g_fed.counts = GetParam().later;
    uint32_t flags = 0;
    uint32_t pending = 0;
    ASSERT_TRUE(plat::ClearCommError(h, &flags, &pending));
    EXPECT_EQ(flags, GetParam().flags);
    plat::LineErrors e{};
    ASSERT_TRUE(plat::TakeLineErrors(h, &e));
    EXPECT_EQ(e.framing + e.parity + e.overrun, 0u) << "reported again";
}

INSTANTIATE_TEST_SUITE_P(Counts, LineErrorCounts, ::testing::ValuesIn(kCountsCases),
                         [](const auto& info) { return info.param.name; });

TEST_F(FedPortTest, ADeviceWithoutCountsCannotReportThem) {
    g_fed.counted = false;
    Open();
    plat::LineErrors e{};
    EXPECT_FALSE(plat::TakeLineErrors(h, &e));
    EXPECT_EQ(plat::LastError(), plat::kErrorNotSupported);
}

struct DrainCase {
    const char* name;
    plat::CommTimeouts timeouts;
    int queued;     ///< what the system holds after the write
    int drainsInMs; ///< when it has sent it; past the timeout plus the margin: never
    bool sent;
    int waitAfterMs = 0; ///< when WaitWritten is called
};

class BoundedDrain : public FedPortTest, public ::testing::WithParamInterface<DrainCase> {};

constexpr int kNever = 10'000;
constexpr milliseconds kMargin{3'000}; // a busy machine's scheduling, not the backend's slack

const DrainCase kDrainCases[] = {
    {"SystemCannotTell", {.writeTotalTimeoutConstant = 50}, -1, kNever, true},
    {"LeavesInTime", {.writeTotalTimeoutConstant = 5'000}, 8, 20, true},
    {"NoTimeoutWaitsForTheLine", {}, 8, 20, true},
    {"NeverLeaves", {.writeTotalTimeoutConstant = 50}, 1, kNever, false}, // one byte is not sent
    {"MultiplierAloneBounds", {.writeTotalTimeoutMultiplier = 25}, 8, kNever, false},
    // Counted from the call, the time would last until the drain; 1.5 s for a slow wake-up.
    {"CountedFromTheWritesStart", {.writeTotalTimeoutConstant = 2'000}, 8, 3'500, false, 2'000},
};

TEST_P(BoundedDrain, WithinTheWritesTimeout) {
    const DrainCase& c = GetParam();
    Open();
    ASSERT_TRUE(plat::SetCommTimeouts(h, c.timeouts));
    const uint8_t frame[] = {0x01, 0x03};
    uint32_t written = 0;
    const auto start = Clock::now();
    g_fed.outputQueued = c.queued;
    g_fed.drainedAt = start + milliseconds(c.drainsInMs);
    ASSERT_TRUE(plat::WriteFile(h, frame, sizeof frame, &written));
    plat::Sleep(static_cast<uint32_t>(c.waitAfterMs));
    plat::ClearLastError();
    EXPECT_EQ(plat::WaitWritten(h), c.sent);
    const auto bound = milliseconds(c.timeouts.writeTotalTimeoutConstant +
                                    c.timeouts.writeTotalTimeoutMultiplier * sizeof frame);
    EXPECT_LT(Clock::now() - start,
              (bound.count() != 0 ? bound : milliseconds(c.drainsInMs)) + kMargin);
    EXPECT_EQ(plat::LastError(), c.sent ? 0u : plat::kErrorSemTimeout);
}

INSTANTIATE_TEST_SUITE_P(Drain, BoundedDrain, ::testing::ValuesIn(kDrainCases),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace merix::test
