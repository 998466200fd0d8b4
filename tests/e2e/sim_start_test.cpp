// Starts and restarts as a host makes them, on a real pseudo-terminal: the port is exclusive,
// so whatever an earlier start left open would lock the line; and a pseudo-terminal cannot
// switch an RS-485 line itself, so RS485 = ON falls back to the driver's switching.
#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "pty_pair.h"
#include "serial/line_trace.h"
#include "services/host_log.h"
#include "sim_line.h"
#include "work_in.h"

namespace merix::test {
namespace {

class SimRestart : public SimLine {
protected:
    /// Descriptors of this process open on the simulator's device.
    int OpenOnDevice() const {
        char device[PATH_MAX];
        if (realpath(sim->DeviceName().c_str(), device) == nullptr) {
            return -1;
        }
        int n = 0;
        DIR* fds = opendir("/proc/self/fd");
        for (dirent* e = fds != nullptr ? readdir(fds) : nullptr; e != nullptr; e = readdir(fds)) {
            char target[PATH_MAX] = {};
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
                std::strcmp(target, device) == 0) {
                ++n;
            }
        }
        if (fds != nullptr) {
            closedir(fds);
        }
        return n;
    }
    int32_t Start(DriverContext& on, uint32_t number = 1, const std::string& name = {}) {
        const std::string& device = name.empty() ? port : name;
        StartParams sp{};
        std::snprintf(sp.portName, sizeof sp.portName, "%s", device.c_str());
        sp.comOn = 1;
        sp.replyTimeout = 30;
        sp.baud = static_cast<uint16_t>(LineSettings().baud);
        sp.dataBits = 8;
        sp.parity = 2;
        CallBlock cb{&on, kColdStart, number, 0, &sp};
        return VpiMain(&cb);
    }
    int32_t ReadOn(DriverContext& on, Gate& gate, uint32_t number = 1) {
        CallBlock cb{&on, kSingleRead, number, 0, &gate.rec};
        return VpiMain(&cb);
    }
};

TEST_F(SimRestart, ASecondColdStartLeavesOneDescriptorAndReadsWork) {
    const int before = OpenOnDevice(); // the simulator keeps the device open too
    ASSERT_EQ(Start(ctx), 0);
    EXPECT_EQ(OpenOnDevice(), before);
    Gate gate("01300000", 1, 3, 0);
    EXPECT_EQ(Read(gate), 0);
}

TEST_F(SimRestart, ANewContextTakesOverThePortAndTheTraceAndEndVpiLetsAllGo) {
    const WorkIn work("merix_restart_");
    std::ofstream("MERIX01.INI") << "TRACE = t.log\n";
    const int before = OpenOnDevice();
    ASSERT_EQ(Start(ctx), 0);
    ASSERT_TRUE(LineTraced(ctx));

    DriverContext restarted{};
    ASSERT_EQ(Start(restarted), 0);
    EXPECT_EQ(OpenOnDevice(), before);
    EXPECT_FALSE(LineTraced(ctx));
    Gate gate("01300000", 1, 3, 0);
    EXPECT_EQ(ReadOn(restarted, gate), 0);
    CallBlock end{&restarted, kEndVpi, 1, 0, nullptr};
    EXPECT_EQ(VpiMain(&end), 0);
    EXPECT_EQ(OpenOnDevice(), before - 1);

    int starts = 0;
    int requests = 0;
    std::ifstream in("t.log");
    for (std::string line; std::getline(in, line);) {
        starts += line.rfind("# merix line trace", 0) == 0;
        requests += line.find("01 03 00 00 00 01") != std::string::npos;
    }
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(requests, 1) << "the restarted instance's read is in the same file";
}

// The system gives a closed descriptor's number to the next port opened, so after two
// instances swap their memory each context's old `hf` names the other's port: only what the
// driver recorded for each context may be closed or read.
TEST_F(SimRestart, TwoInstancesThatSwapMemoryEachReadTheirOwnLine) {
    PtyPair other; // instance 2's line, with nobody on it: its requests can be read there
    ASSERT_TRUE(other.ok());
    ASSERT_LT(other.name().size(), kPortNameSize);
    const int before = OpenOnDevice();
    DriverContext second{};
    ASSERT_EQ(Start(second, 2, other.name()), 0);
    ASSERT_EQ(Start(ctx, 2, other.name()), 0) << "instance 2 now in instance 1's memory";
    ASSERT_EQ(Start(second, 1), 0) << "and instance 1 in instance 2's";
    EXPECT_EQ(OpenOnDevice(), before) << "the simulator's line held once";
    for (const auto& line : qorlib::Log()) {
        EXPECT_EQ(line.text.find("Run Time Error"), std::string::npos) << line.text;
    }

    Gate gate("01300000", 1, 3, 0);
    EXPECT_EQ(ReadOn(second, gate, 1), 0) << "instance 1 reads the simulator";
    const size_t frames = FramesReceived();
    Gate silent("01300000", 1, 3, 0);
    EXPECT_EQ(ReadOn(ctx, silent, 2), 2) << "nobody answers on instance 2's line";
    EXPECT_EQ(FramesReceived(), frames) << "instance 2's requests never reach the simulator";
    EXPECT_EQ(other.Read(8, 2000).size(), 8u) << "they go to its own line";

    CallBlock end{&second, kEndVpi, 1, 0, nullptr};
    EXPECT_EQ(VpiMain(&end), 0);
    EXPECT_EQ(OpenOnDevice(), before - 1);
}

TEST_F(SimRestart, Rs485OnAPseudoTerminalFallsBackToTheDriverAndReadsWork) {
    const WorkIn work("merix_rs485_");
    std::ofstream("MERIX01.INI") << "RS485 = ON\n";
    qorlib::ClearLog();
    ASSERT_EQ(Start(ctx), 0);
    EXPECT_TRUE(
        qorlib::Logged("MERIX> OpenSavedPort() RS485: " + port +
                           " cannot switch the line direction (system error 87), the driver "
                           "switches DTR/RTS",
                       kLogError));
    EXPECT_TRUE(qorlib::Logged("MERIX> OpenSavedPort() " + port +
                                   " reports no line errors: FRM, PAR and OVR stay 0",
                               kLogDetail));
    Gate gate("01300000", 1, 3, 0);
    EXPECT_EQ(Read(gate), 0);
}

} // namespace
} // namespace merix::test
