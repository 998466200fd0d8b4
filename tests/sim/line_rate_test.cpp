// A station hears only what comes at its line's baud rate: the pseudo-terminal keeps the rate
// the master set, and the simulator ignores bytes sent at another one unless --any-baud.
#include "sim/simulator.h"

#include <gtest/gtest.h>

#include "line_client.h"

namespace h51sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using test::LineClient;

const Bytes kReadRegister0{0x07, 0x03, 0x00, 0x00, 0x00, 0x01}; // station 7, register 0

class LineRateTest : public ::testing::Test {
protected:
    void Start(bool anyBaud) {
        LineConfig line;
        line.baud = 19200;
        line.pacing = false;
        line.anyBaud = anyBaud;
        sim_ = std::make_unique<Simulator>(line);
        StationConfig c;
        c.address = 7;
        ASSERT_TRUE(sim_->AddStation(c));
        ASSERT_TRUE(sim_->SetHoldingRegister(7, 0, 0x1234));
        std::string error;
        ASSERT_TRUE(sim_->Start(&error)) << error;
        client_ = std::make_unique<LineClient>(sim_->DeviceName());
        ASSERT_TRUE(client_->Ok());
    }

    std::unique_ptr<Simulator> sim_;
    std::unique_ptr<LineClient> client_;
};

const Bytes kAnswer = LineClient::WithCrc({0x07, 0x03, 0x02, 0x12, 0x34});

TEST_F(LineRateTest, AMasterThatSetsNoRateIsOnTheLines) {
    Start(false);
    EXPECT_EQ(client_->Transact(kReadRegister0), kAnswer);
    EXPECT_EQ(sim_->LineCounters().misratedBytes, 0u);
}

TEST_F(LineRateTest, AnswersAtItsOwnRateOnly) {
    Start(false);
    struct Case {
        speed_t speed;
        bool answered;
    };
    for (const Case c : {Case{B9600, false}, Case{B38400, false}, Case{B19200, true}}) {
        ASSERT_TRUE(client_->SetSpeed(c.speed));
        const Bytes reply = client_->Send(kReadRegister0) ? client_->ReadReply(300ms) : Bytes{};
        EXPECT_EQ(reply, c.answered ? kAnswer : Bytes{}) << "speed code " << c.speed;
    }
    // The garbled requests never became frames; the bytes are counted all the same.
    EXPECT_EQ(sim_->ReceivedFrames().size(), 1u);
    EXPECT_EQ(sim_->LineCounters().misratedBytes, 2 * (kReadRegister0.size() + 2));
}

TEST_F(LineRateTest, AnyBaudTakesEveryRate) {
    Start(true);
    ASSERT_TRUE(client_->SetSpeed(B9600));
    EXPECT_EQ(client_->Transact(kReadRegister0), kAnswer);
    EXPECT_EQ(sim_->LineCounters().misratedBytes, 0u);
}

} // namespace
} // namespace h51sim
