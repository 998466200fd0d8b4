// The event functions and the time broadcast over the pseudo-terminal, with hand-built frames.
#include "sim/simulator.h"

#include <gtest/gtest.h>

#include "line_client.h"
#include "sim/event_store.h"

namespace h51sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using test::LineClient;

const Bytes kInit5{0x05, 0x41, 0x04, 0x00, 0x00, 0x00, 0x0C}; // station 5, 12 event gates
const Bytes kNext5{0x05, 0x42};
const Bytes kRepeat5{0x05, 0x43};

class EventLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        LineConfig line;
        line.baud = 115200;
        sim_ = std::make_unique<Simulator>(line);
        StationConfig c;
        c.address = 5;
        c.eventGates = 12;
        c.eventCapacity = 40;
        ASSERT_TRUE(sim_->AddStation(c));
        c.address = 6;
        c.eventCapacity = 4;
        ASSERT_TRUE(sim_->AddStation(c));
        std::string error;
        ASSERT_TRUE(sim_->Start(&error)) << error;
        client_ = std::make_unique<LineClient>(sim_->DeviceName());
        ASSERT_TRUE(client_->Ok());
    }

    Bytes Transact(const Bytes& request) { return client_->Transact(request); }

    std::unique_ptr<Simulator> sim_;
    std::unique_ptr<LineClient> client_;
};

TEST_F(EventLineTest, InitWithAnotherCountIsRefusedWithC1Code2) {
    EXPECT_EQ(Transact({0x05, 0x41, 0x04, 0x00, 0x00, 0x00, 0x0B}),
              LineClient::WithCrc({0x05,    // station
                                   0xC1,    // 0x41 with the exception bit
                                   0x02})); // code 2
}

TEST_F(EventLineTest, InitGivesTheStateBitmapAndEmptiesTheBuffer) {
    ASSERT_TRUE(sim_->SetEvent(5, 0, true));
    ASSERT_TRUE(sim_->SetEvent(5, 2, true));
    ASSERT_TRUE(sim_->SetEvent(5, 11, true));
    EXPECT_EQ(Transact(kInit5), LineClient::WithCrc({0x05, 0x41,
                                                     0x02,    // 2 bytes for 12 events
                                                     0x05,    // events 0 and 2
                                                     0x08})); // event 11: bit 3 of byte 1
    EXPECT_EQ(sim_->BufferedEvents(5), 0u);
    EXPECT_EQ(Transact(kNext5), LineClient::WithCrc({0x05, 0x42, 0x00}));
}

TEST_F(EventLineTest, BlocksDeliverEveryEventOnceInOrderAndRepeatTheLast) {
    ASSERT_EQ(Transact(kInit5).size(), 7u);
    EXPECT_EQ(Transact(kRepeat5), LineClient::WithCrc({0x05, 0xC3, 0x02})); // no block yet
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(sim_->SetEvent(5, static_cast<uint16_t>(i % 12), i % 2 == 0));
    }
    Bytes records;
    std::vector<size_t> blockSizes;
    for (;;) {
        const Bytes reply = Transact(kNext5);
        ASSERT_GE(reply.size(), 5u);
        ASSERT_EQ(reply.size(), 5u + reply[2]);
        if (reply[2] == 0) {
            break;
        }
        blockSizes.push_back(reply[2]);
        records.insert(records.end(), reply.begin() + 3, reply.end() - 2);
        // A repeat gives the very same block, under its own function code.
        Bytes again(reply.begin(), reply.end() - 2);
        again[1] = 0x43;
        EXPECT_EQ(Transact(kRepeat5), LineClient::WithCrc(again));
    }
    EXPECT_EQ(blockSizes, (std::vector<size_t>{31 * 8, 9 * 8}));
    Bytes expected;
    for (const GeneratedEvent& e : sim_->GeneratedEvents(5)) {
        EXPECT_TRUE(e.buffered);
        const auto r = EncodeEventRecord(EventRecord{e.number, e.value, e.time});
        expected.insert(expected.end(), r.begin(), r.end());
    }
    EXPECT_EQ(records, expected);
}

TEST_F(EventLineTest, OverflowMarksBlocksUntilTheNextInit) {
    const Bytes init6{0x06, 0x41, 0x04, 0x00, 0x00, 0x00, 0x0C};
    ASSERT_EQ(Transact(init6).size(), 7u);
    for (uint16_t i = 0; i < 6; ++i) {
        ASSERT_TRUE(sim_->SetEvent(6, i, true));
    }
    EXPECT_EQ(sim_->EventOverflow(6), true);
    const Bytes block = Transact({0x06, 0x42});
    ASSERT_EQ(block.size(), 5u + 4 * 8 + 2);
    EXPECT_EQ(block[2], 4 * 8 + 2); // the count includes the marker
    EXPECT_EQ(block[3 + 32], 0xFF);
    EXPECT_EQ(block[3 + 33], 0xFF);
    EXPECT_EQ(Transact({0x06, 0x42}), LineClient::WithCrc({0x06, 0x42, 0x02, 0xFF, 0xFF}));
    EXPECT_EQ(Transact(init6), LineClient::WithCrc({0x06, 0x41, 0x02, 0x3F, 0x00}));
    EXPECT_EQ(Transact({0x06, 0x42}), LineClient::WithCrc({0x06, 0x42, 0x00}));
    const auto generated = sim_->GeneratedEvents(6);
    ASSERT_EQ(generated.size(), 6u);
    EXPECT_FALSE(generated[4].buffered);
    EXPECT_FALSE(generated[5].buffered);
}

TEST_F(EventLineTest, TimeBroadcastSetsEveryClockAndGetsNoReply) {
    // 10:07:05.456 on 24 November 2003
    ASSERT_TRUE(client_->Send({0x00, 0x46, 0x08, 56, 4, 5, 7, 10, 24, 11, 3}));
    ASSERT_TRUE(sim_->WaitForRequests(1, 5s));
    const auto sync = sim_->LastTimeSync();
    ASSERT_TRUE(sync && sync->time);
    EXPECT_EQ(*sync->time, (StationTime{2003, 11, 24, 10, 7, 5, 456}));
    for (const int station : {5, 6}) {
        const auto clock = sim_->StationClockNow(station);
        ASSERT_TRUE(clock);
        EXPECT_EQ(clock->day, 24u);
        EXPECT_EQ(clock->hour, 10u);
        EXPECT_EQ(clock->minute, 7u);
    }
    // An event now carries the new time of day.
    ASSERT_TRUE(sim_->SetEvent(5, 3, true));
    ASSERT_EQ(Transact(kInit5).size(), 7u);
    ASSERT_TRUE(sim_->SetEvent(5, 4, true));
    const Bytes block = Transact(kNext5);
    ASSERT_EQ(block.size(), 5u + 8);
    EXPECT_EQ(block[3], 4);   // event 4
    EXPECT_EQ(block[9], 7);   // minute
    EXPECT_EQ(block[10], 10); // hour
    // Had the broadcast been answered, its bytes would have come before this reply.
    ASSERT_TRUE(sim_->WaitForReplies(2, 5s));
    EXPECT_EQ(sim_->LineCounters().replies, 2u);
}

TEST_F(EventLineTest, StationsThatAreNotConfiguredKeepSilent) {
    ASSERT_TRUE(client_->Send({0x07, 0x03, 0x00, 0x00, 0x00, 0x01}));
    ASSERT_TRUE(sim_->WaitForRequests(1, 5s));
    EXPECT_EQ(Transact(kNext5), LineClient::WithCrc({0x05, 0x42, 0x00}));
    EXPECT_EQ(sim_->LineCounters().unaddressed, 1u);
}

TEST_F(EventLineTest, InjectedFaultsHitTheNextReplies) {
    ASSERT_TRUE(sim_->InjectFaults(5, Fault{FaultKind::BadCrc, 0}, 1));
    ASSERT_TRUE(sim_->InjectFaults(5, Fault{FaultKind::Exception, 4}, 1));
    const Bytes bad = Transact(kNext5);
    ASSERT_EQ(bad.size(), 5u);
    EXPECT_NE(bad, LineClient::WithCrc({0x05, 0x42, 0x00}));
    // A refusal does not act: the event stays in the buffer.
    ASSERT_TRUE(sim_->SetEvent(5, 1, true));
    EXPECT_EQ(Transact(kNext5), LineClient::WithCrc({0x05, 0xC2, 0x04}));
    EXPECT_EQ(sim_->BufferedEvents(5), 1u);
    EXPECT_EQ(Transact(kNext5).size(), 5u + 8);
    EXPECT_EQ(sim_->StationCounters(5)->faults, 2u);

    // A lost request changes nothing; a refused poll keeps the block, and waits for a poll.
    ASSERT_TRUE(sim_->SetEvent(5, 2, true));
    ASSERT_TRUE(sim_->InjectFaults(5, Fault{FaultKind::LostRequest, 0}, 1));
    ASSERT_TRUE(sim_->InjectFaults(5, Fault{FaultKind::RefusePoll, 0}, 1));
    const uint64_t before = sim_->LineCounters().frames;
    ASSERT_TRUE(client_->Send(kNext5));
    ASSERT_TRUE(sim_->WaitForRequests(before + 1, 5s));
    EXPECT_EQ(sim_->BufferedEvents(5), 1u);
    EXPECT_EQ(Transact({0x05, 0x43}).size(), 5u + 8) << "the last block is still event 1's";
    EXPECT_EQ(Transact(kNext5), LineClient::WithCrc({0x05, 0xC2, 0x06}));
    EXPECT_EQ(sim_->BufferedEvents(5), 1u);
    const auto counters = *sim_->StationCounters(5);
    EXPECT_EQ(counters.faultsByKind[static_cast<size_t>(FaultKind::LostRequest)], 1u);
    EXPECT_EQ(counters.faultsByKind[static_cast<size_t>(FaultKind::RefusePoll)], 1u);
    EXPECT_EQ(counters.faultsByKind[static_cast<size_t>(FaultKind::Exception)], 1u);
}

TEST(LinePacing, ReplyEndsNoEarlierThanTheWireAllows) {
    LineConfig line;
    line.baud = 1200; // 11 bits a character: 9.17 ms
    Simulator sim(line);
    StationConfig c;
    c.address = 1;
    ASSERT_TRUE(sim.AddStation(c));
    ASSERT_TRUE(sim.InjectFaults(1, Fault{FaultKind::Late, 200}, 1));
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    LineClient client(sim.DeviceName());
    for (const auto extra : {200ms, 0ms}) {
        const auto t0 = std::chrono::steady_clock::now();
        const Bytes reply = client.Transact({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A});
        const auto elapsed = std::chrono::steady_clock::now() - t0;
        ASSERT_EQ(reply.size(), 25u);
        // 8 request characters, 3.5 of turnaround and 25 of reply, plus any delay.
        EXPECT_GE(elapsed, sim.Timing().CharTime() * (8 + 25) + sim.Timing().Turnaround() + extra);
    }
}

} // namespace
} // namespace h51sim
