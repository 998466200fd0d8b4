// The POSIX backend and the port lifecycle on real pseudo-terminals.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <tuple>

#include "driver/library_state.h"
#include "host/qorlib_control.h"
#include "merix/vpi.h"
#include "platform/posix_termios.h"
#include "pty_pair.h"
#include "serial/com_port.h"

namespace merix::test {
namespace {

using Clock = std::chrono::steady_clock;

class PosixPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok()) << "no pseudo-terminal available";
        ResetLibraryStateForTests();
        qorlib::Reset();
    }
    plat::Handle Open() {
        plat::Handle h = 0;
        EXPECT_EQ(ComOpen(pty.name().c_str(), PortSettings{9600, 8, 0, 2}, 0, &h), kComOk);
        return h;
    }
    PtyPair pty;
};

TEST_F(PosixPortTest, OpenConfiguresAndIsExclusive) {
    const plat::Handle h = Open();
    EXPECT_NE(h, 0u);
    EXPECT_NE(h, plat::kInvalidHandle);
    plat::Handle second = 0;
    EXPECT_EQ(ComOpen(pty.name().c_str(), PortSettings{9600, 8, 0, 2}, 0, &second), kComOpenFailed);
    EXPECT_EQ(second, plat::kInvalidHandle);
    plat::Dcb dcb;
    ASSERT_TRUE(plat::GetCommState(h, &dcb));
    EXPECT_EQ(dcb.baudRate, 9600u);
    EXPECT_EQ(dcb.byteSize, 8);
    EXPECT_EQ(ComClose(h), kComOk);
    EXPECT_EQ(ComOpen(pty.name().c_str(), PortSettings{9600, 8, 0, 2}, 0, &second), kComOk)
        << "free again after the close";
    ComClose(second);
}

TEST_F(PosixPortTest, UnknownRateAndMissingDeviceFail) {
    plat::Handle h = 0;
    EXPECT_EQ(ComOpen(pty.name().c_str(), PortSettings{12345, 8, 0, 2}, 0, &h), kComSetStateFailed);
    ComClose(h);
    EXPECT_EQ(ComOpen("ttyDOESNOTEXIST", PortSettings{9600, 8, 0, 2}, 0, &h), kComOpenFailed);
    EXPECT_EQ(ComOpen("NUL", PortSettings{9600, 8, 0, 2}, 0, &h), kComOk);
    ComClose(h);
}

TEST_F(PosixPortTest, ReadReturnsAllBytesAtOnceOrWhatArrivedByTheTotalTimeout) {
    const plat::Handle h = Open();
    ComSetTimeout(h, 200); // 2 s: far apart from "at once" even on a loaded machine
    uint8_t buf[8];
    uint32_t n = 0;
    pty.Write({1, 2, 3, 4, 5, 6, 7, 8});
    auto start = Clock::now();
    EXPECT_EQ(ComRead(h, buf, 8, &n), kComOk);
    EXPECT_EQ(n, 8u);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500)) << "no wait when all arrived";

    pty.Write({9});
    start = Clock::now();
    EXPECT_EQ(ComRead(h, buf, 3, &n), kComOk);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(buf[0], 9);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1990))
        << "the short count waits the timeout";

    start = Clock::now();
    EXPECT_EQ(ComRead(h, buf, 3, &n), kComFailed);
    EXPECT_EQ(n, 0u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1990));
    ComClose(h);
}

TEST_F(PosixPortTest, TimeoutCountsFromTheCallNotFromTheLastByte) {
    const plat::Handle h = Open();
    ComSetTimeout(h, 40); // 400 ms
    std::thread trickle([this] {
        for (int i = 0; i < 6; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            pty.Write({static_cast<uint8_t>(i)});
        }
    });
    uint8_t buf[10];
    uint32_t n = 0;
    const auto start = Clock::now();
    ComRead(h, buf, 10, &n);
    const auto took = Clock::now() - start;
    trickle.join();
    EXPECT_LT(n, 6u);
    EXPECT_LT(took, std::chrono::milliseconds(1500)) << "bytes arriving must not extend the read";
    ComClose(h);
}

TEST_F(PosixPortTest, PurgeThrowsAwayPendingInput) {
    const plat::Handle h = Open();
    ComSetTimeout(h, 20);
    pty.Write(std::vector<uint8_t>(600, 0x55));
    // Wait until the bytes are in the input queue (generous, never a fixed sleep).
    uint32_t errors = 0;
    uint32_t pending = 0;
    for (int i = 0; i < 500 && pending < 600; ++i) {
        plat::ClearCommError(h, &errors, &pending);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(pending, 600u);
    EXPECT_EQ(ComPurge(h), 0);
    plat::ClearCommError(h, &errors, &pending);
    EXPECT_EQ(pending, 0u);
    plat::CommTimeouts t;
    plat::GetCommTimeouts(h, &t);
    EXPECT_EQ(t.readTotalTimeoutConstant, 200u) << "the reply timeout is put back";
    ComClose(h);
}

TEST_F(PosixPortTest, WriteReachesTheOtherSide) {
    const plat::Handle h = Open();
    uint32_t n = 0;
    const uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
    EXPECT_EQ(ComWrite(h, frame, sizeof frame, &n), kComOk);
    EXPECT_EQ(pty.Read(8), std::vector<uint8_t>(frame, frame + 8));
    ComClose(h);
}

TEST_F(PosixPortTest, SettingsLeftByAnotherProgramAreAllReplaced) {
    {
        // What a terminal program may leave behind: software flow control (XOFF and XON on
        // the bus), case folding, parity handling, line editing, echo and output processing.
        const int fd = open(pty.name().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios tio{};
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        tio.c_iflag |= IXOFF | IXON | IUCLC | INPCK | IGNPAR | IMAXBEL | ICRNL | PARMRK;
        tio.c_oflag |= OPOST | ONLCR;
        tio.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        tio.c_cc[VMIN] = 4;
        tio.c_cc[VTIME] = 10;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
        close(fd);
    }
    plat::Handle h = 0;
    ASSERT_EQ(ComOpen(pty.name().c_str(), PortSettings{9600, 8, 0, 0}, 0, &h), kComOk);
    termios tio{};
    ASSERT_EQ(tcgetattr(static_cast<int>(h), &tio), 0);
    EXPECT_EQ(tio.c_iflag, 0u);
    EXPECT_EQ(tio.c_oflag, 0u);
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    ComClose(h);
}

TEST_F(PosixPortTest, APseudoTerminalRefusesRs485ModeAndKeepsWorking) {
    plat::Handle h = 0;
    ASSERT_EQ(ComOpen(pty.name().c_str(), PortSettings{9600, 8, 0, 0}, 0, &h), kComOk);
    plat::Dcb before;
    ASSERT_TRUE(plat::GetCommState(h, &before));
    EXPECT_EQ(before.fDtrControl, plat::kDtrDisable) << "the modes that ComOpen set";
    EXPECT_EQ(before.fRtsControl, plat::kRtsDisable);

    plat::Dcb toggle = before;
    toggle.fRtsControl = plat::kRtsToggle;
    EXPECT_FALSE(plat::SetCommState(h, toggle));
    EXPECT_EQ(plat::LastError(), plat::kErrorInvalidParameter);
    uint32_t refusal = 0;
    EXPECT_FALSE(ComTakeRs485(h, &refusal));
    EXPECT_EQ(refusal, plat::kErrorInvalidParameter) << "the refusal's code, not the restore's";
    plat::Dcb after;
    ASSERT_TRUE(plat::GetCommState(h, &after));
    EXPECT_EQ(after.fRtsControl, plat::kRtsDisable);
    EXPECT_EQ(after.fDtrControl, plat::kDtrDisable) << "the refusal switched no line";
    EXPECT_EQ(after.baudRate, 9600u);

    const uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
    uint32_t n = 0;
    EXPECT_EQ(ComWrite(h, frame, sizeof frame, &n), kComOk);
    EXPECT_TRUE(plat::WaitWritten(h));
    EXPECT_EQ(pty.Read(8), std::vector<uint8_t>(frame, frame + 8));
    ComClose(h);
    EXPECT_FALSE(plat::WaitWritten(h)) << "closed";
}

TEST_F(PosixPortTest, APseudoTerminalReportsNoLineErrors) {
    const plat::Handle h = Open(); // 9600 8E1: parity checked
    plat::LineErrors errors{1, 1, 1};
    EXPECT_FALSE(plat::TakeLineErrors(h, &errors));
    EXPECT_EQ(errors.framing + errors.parity + errors.overrun, 0u);
    EXPECT_EQ(plat::LastError(), plat::kErrorNotSupported);
    uint32_t flags = 1;
    uint32_t pending = 0;
    EXPECT_TRUE(plat::ClearCommError(h, &flags, &pending)) << "the purge still works";
    EXPECT_EQ(flags, 0u);
    ComClose(h);
}

struct TermiosCase {
    uint8_t byteSize;
    uint8_t parity;   ///< 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits; ///< 0 one, 1 one and a half, 2 two
    tcflag_t frameFlags;
    tcflag_t inputFlags;
};

class DcbToTermiosCase : public ::testing::TestWithParam<TermiosCase> {};

TEST_P(DcbToTermiosCase, FramingFlags) {
    const TermiosCase& c = GetParam();
    plat::Dcb dcb; // as ComOpen fills it
    dcb.baudRate = 19200;
    dcb.fParity = true;
    dcb.byteSize = c.byteSize;
    dcb.parity = c.parity;
    dcb.stopBits = c.stopBits;
    dcb.errorChar = 0xFC;
    termios tio{};
    ASSERT_TRUE(plat::DcbToTermios(dcb, &tio));
    EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), c.frameFlags);
    // No error character: a byte with a parity error is neither marked (PARMRK) nor dropped
    // (IGNPAR); the CRC finds the frame bad.
    EXPECT_EQ(tio.c_iflag, c.inputFlags);
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(plat::DcbFromTermios(tio).parity, c.parity);
}

INSTANTIATE_TEST_SUITE_P(
    Framing, DcbToTermiosCase,
    ::testing::Values(TermiosCase{8, 0, 0, CS8, 0},
                      TermiosCase{7, 1, 0, CS7 | PARENB | PARODD, INPCK},
                      TermiosCase{8, 2, 0, CS8 | PARENB, INPCK},
                      TermiosCase{8, 3, 2, CS8 | PARENB | PARODD | CMSPAR | CSTOPB, INPCK},
                      TermiosCase{5, 4, 1, CS5 | PARENB | CMSPAR | CSTOPB, INPCK},
                      TermiosCase{6, 0, 2, CS6 | CSTOPB, 0}));

TEST(DcbToTermios, RefusesWhatATerminalCannotTake) {
    for (const auto& [baud, size, parity, stop] :
         {std::tuple{12345u, 8, 0, 0}, std::tuple{9600u, 9, 0, 0}, std::tuple{9600u, 4, 0, 0},
          std::tuple{9600u, 8, 5, 0}, std::tuple{9600u, 8, 0, 3}}) {
        plat::Dcb dcb;
        dcb.baudRate = baud;
        dcb.byteSize = static_cast<uint8_t>(size);
        dcb.parity = static_cast<uint8_t>(parity);
        dcb.stopBits = static_cast<uint8_t>(stop);
        termios tio{};
        EXPECT_FALSE(plat::DcbToTermios(dcb, &tio)) << baud << " " << size << parity << stop;
    }
}

class LifecyclePty : public PosixPortTest {
protected:
    int32_t Call(uint32_t command, void* params = nullptr) {
        CallBlock cb{&ctx, command, 1, 0, params};
        return VpiMain(&cb);
    }
    DriverContext ctx{};
};

TEST_F(LifecyclePty, ColdStartCloseComAndReOpenComOnAPseudoTerminal) {
    StartParams sp{};
    ASSERT_LT(pty.name().size(), sizeof sp.portName) << "pty name does not fit a port name";
    std::memcpy(sp.portName, pty.name().c_str(), pty.name().size() + 1);
    sp.comOn = 1;
    sp.replyTimeout = 25;
    sp.baud = 19200;
    sp.dataBits = 8;
    sp.parity = 2;
    EXPECT_EQ(Call(kColdStart, &sp), 0);
    ASSERT_NE(ctx.hf, 0u);
    plat::CommTimeouts t;
    ASSERT_TRUE(plat::GetCommTimeouts(ctx.hf, &t));
    EXPECT_EQ(t.readTotalTimeoutConstant, 250u);
    plat::Dcb dcb;
    ASSERT_TRUE(plat::GetCommState(ctx.hf, &dcb));
    EXPECT_EQ(dcb.baudRate, 19200u);

    EXPECT_EQ(Call(kCloseCom), 0);
    EXPECT_EQ(ctx.hf, 0u);
    EXPECT_EQ(Call(kReOpenCom), 0);
    EXPECT_NE(ctx.hf, 0u);
    EXPECT_EQ(ctx.comOn, 1u);
    EXPECT_EQ(Call(kEndVpi), 0);
    EXPECT_EQ(ctx.hf, 0u);
}

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

TEST_F(LifecyclePty, VanishedDeviceEndsReadsAtOnceAndReOpenComBringsTheLineBack) {
    StartParams sp{};
    ASSERT_LT(pty.name().size(), sizeof sp.portName) << "pty name does not fit a port name";
    std::memcpy(sp.portName, pty.name().c_str(), pty.name().size() + 1);
    sp.comOn = 1;
    sp.replyTimeout = 200; // 2 s: a read that spins would burn about that much CPU
    sp.baud = 9600;
    sp.dataBits = 8;
    sp.parity = 2;
    ASSERT_EQ(Call(kColdStart, &sp), 0);
    ASSERT_NE(ctx.hf, 0u);
    // The unplugged adapter: its tty hangs up, reads give 0 and poll says readable.
    if (ioctl(static_cast<int>(ctx.hf), TIOCVHANGUP) != 0) {
        ASSERT_EQ(errno, EPERM) << std::strerror(errno);
        GTEST_SKIP() << "hanging up a terminal needs CAP_SYS_ADMIN";
    }

    uint8_t buf[8];
    uint32_t n = 0;
    const double cpu = ThreadCpuMs();
    EXPECT_EQ(ComRead(ctx.hf, buf, sizeof buf, &n), kComFailed);
    EXPECT_LT(ThreadCpuMs() - cpu, 500.0) << "the read must not spin until its timeout";

    char text[] = "01300000";
    uint8_t value[8] = {};
    GateAccessRecord reg{};
    reg.addressString = text;
    reg.station = 1;
    reg.function = 3;
    reg.count = 1;
    reg.valuePtr = value;
    EXPECT_EQ(Call(kSingleRead, &reg), 2);
    EXPECT_EQ(ctx.plcState[1], kInError);

    // The device is back: ReOpenCom opens it again and the station answers.
    EXPECT_EQ(Call(kReOpenCom), 0);
    ComSetTimeout(ctx.hf, 200);
    std::thread device([this] {
        if (pty.Read(8).size() == 8) {
            pty.Write({0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B}); // register 0 = 42
        }
    });
    StationArg station{1};
    Call(kWarmStart, &station);
    EXPECT_EQ(Call(kSingleRead, &reg), 0);
    device.join();
    int16_t word = 0;
    std::memcpy(&word, value + 2, sizeof word);
    EXPECT_EQ(word, 42);
}

} // namespace
} // namespace merix::test
