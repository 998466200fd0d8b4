// The simulator's serial device end: the line's rate comes from the driver's baud table.
#include "sim/line_endpoint.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace h51sim {
namespace {

class LineEndpointDevice : public ::testing::Test {
protected:
    void SetUp() override {
        char name[256] = {};
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        name_ = name;
    }
    void TearDown() override {
        close(slave_);
        close(master_);
    }
    /// The output speed the device was set to at `baud`; B0 when OpenDevice refused.
    speed_t SpeedAt(int baud, std::string* error) {
        LineConfig line;
        line.baud = baud;
        const auto endpoint = LineEndpoint::OpenDevice(name_, line, error);
        termios tio{};
        if (endpoint == nullptr || tcgetattr(endpoint->Fd(), &tio) != 0) {
            return B0;
        }
        return cfgetospeed(&tio);
    }
    int master_ = -1;
    int slave_ = -1;
    std::string name_;
};

TEST_F(LineEndpointDevice, SetsTheRatesOfTheDriversTable) {
    std::string error;
    EXPECT_EQ(SpeedAt(19200, &error), static_cast<speed_t>(B19200)) << error;
    // Linux's own rates, beyond those every POSIX system names.
    EXPECT_EQ(SpeedAt(500000, &error), static_cast<speed_t>(B500000)) << error;
    EXPECT_EQ(SpeedAt(4000000, &error), static_cast<speed_t>(B4000000)) << error;
}

TEST_F(LineEndpointDevice, RefusesARateNoTerminalNames) {
    std::string error;
    EXPECT_EQ(SpeedAt(12345, &error), static_cast<speed_t>(B0));
    EXPECT_EQ(error, "baud rate 12345 is not supported by termios");
}

} // namespace
} // namespace h51sim
