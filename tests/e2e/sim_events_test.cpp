// Event collection against the simulated line: every generated event arrives once, in
// order, in its gate, with its time stamp to the millisecond.
#include <map>
#include <random>

#include "sim_line.h"

namespace merix::test {
namespace {

class SimEvents : public SimLine {
protected:
    void SetUp() override {
        SimLine::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        DefineEventGates(1, 4);
        DefineEventGates(2, 3);
        Gate time("$TIME", 0, 3, 0xFFFC); // station clocks on the computer's time
        ASSERT_EQ(Write(time, 1), 0);
        ASSERT_TRUE(sim->WaitFor([&] { return sim->LastTimeSync().has_value(); }, 5000ms));
    }
    static void DefineEventGates(int station, int count) {
        for (int e = 0; e < count; ++e) {
            qorlib::DefineGate(EventGate(station, e), 1);
        }
    }
    static std::string EventGate(int station, int event) {
        char text[16];
        std::snprintf(text, sizeof text, "E%02d%04d", station, event);
        return text;
    }
    int32_t Poll(int station) {
        Gate events("$EVENT", station, 3, 0xFFFD);
        return Read(events);
    }
    /// Values delivered with a time stamp (the set-up's states carry none).
    static std::vector<qorlib::GateValue> Delivered(int station, int event) {
        std::vector<qorlib::GateValue> out;
        for (const auto& v : qorlib::History(EventGate(station, event), 1)) {
            if (v.seconds != 0) {
                out.push_back(v);
            }
        }
        return out;
    }
    /// Counts, per gate, generated events that never arrived and arrivals beyond them.
    void Compare(int station, int gates, int* lost, int* duplicated, bool checkStamps = true) {
        std::map<int, std::vector<h51sim::GeneratedEvent>> generated;
        for (const auto& g : sim->GeneratedEvents(station)) {
            if (g.buffered) {
                generated[g.number].push_back(g);
            }
        }
        for (int e = 0; e < gates; ++e) {
            const auto got = Delivered(station, e);
            const auto& want = generated[e];
            *lost += static_cast<int>(want.size() > got.size() ? want.size() - got.size() : 0);
            *duplicated +=
                static_cast<int>(got.size() > want.size() ? got.size() - want.size() : 0);
            for (size_t i = 0; checkStamps && i < std::min(got.size(), want.size()); ++i) {
                EXPECT_EQ(got[i].value, want[i].value) << EventGate(station, e) << " #" << i;
                const auto seconds = static_cast<time_t>(got[i].seconds);
                tm local{};
                localtime_r(&seconds, &local);
                EXPECT_EQ(static_cast<unsigned>(local.tm_hour), want[i].time.hour);
                EXPECT_EQ(static_cast<unsigned>(local.tm_min), want[i].time.minute);
                EXPECT_EQ(static_cast<unsigned>(local.tm_sec), want[i].time.second);
                EXPECT_EQ(got[i].millis, want[i].time.millisecond);
            }
        }
    }
    /// Polls until the station's buffer is empty and an empty block came back.
    void Drain(int station) {
        for (int i = 0; i < 200; ++i) {
            const bool empty = sim->BufferedEvents(station) == std::optional<size_t>(0);
            Poll(station);
            if (empty && ctx.fReadEvent == 0 && ctx.fEF[station] == 0) {
                return;
            }
        }
        ADD_FAILURE() << "station " << station << " never drained";
    }
};

TEST_F(SimEvents, EveryEventArrivesInItsGateInOrderWithItsStamp) {
    EXPECT_EQ(Poll(1), 0) << "set-up";
    EXPECT_EQ(Poll(2), 0) << "set-up";
    for (int round = 0; round < 5; ++round) {
        for (int e = 0; e < 4; ++e) {
            sim->SetEvent(1, static_cast<uint16_t>(e), (round + e) % 2 == 0);
        }
        for (int e = 0; e < 3; ++e) {
            sim->SetEvent(2, static_cast<uint16_t>(e), (round + e) % 2 == 1);
        }
        Drain(1);
        Drain(2);
    }
    int lost = 0;
    int duplicated = 0;
    Compare(1, 4, &lost, &duplicated);
    Compare(2, 3, &lost, &duplicated);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(duplicated, 0);
    EXPECT_EQ(Delivered(1, 3).size(), 5u);
}

TEST_F(SimEvents, CountConflictRaisesOneAlertUntilTheConfigurationMatches) {
    // The simulated station 2 has three event gates; define a fourth in the host.
    qorlib::DefineGate(EventGate(2, 3), 1);
    EXPECT_EQ(Poll(2), 0);
    EXPECT_EQ(Poll(2), 0);
    ASSERT_EQ(qorlib::OpenAlerts().size(), 1u);
    EXPECT_EQ(qorlib::OpenAlerts()[0].alertClass, "EVT_ERR");
    EXPECT_EQ(ctx.fEF[2], 1u);
    qorlib::UndefineGate(EventGate(2, 3), 1); // the host's configuration is corrected
    EXPECT_EQ(Poll(2), 0);
    EXPECT_TRUE(qorlib::OpenAlerts().empty());
    EXPECT_TRUE(qorlib::Logged("MERIX> Update_Events() Num of Evts conflict with PLC 2 solved"));
    EXPECT_EQ(ctx.fEF[2], 0u);
}

TEST_F(SimEvents, OverflowRaisesTheAlertAndReinitialises) {
    sim->Stop();
    sim = std::make_unique<h51sim::Simulator>(LineSettings());
    AddStation(1, 4, 5); // a buffer of five events
    std::string error;
    ASSERT_TRUE(sim->Start(&error)) << error;
    Call(kCloseCom);
    if (!link.empty()) {
        unlink(link.c_str());
    }
    port = PortName(sim->DeviceName());
    ChangeParams cp{};
    std::memcpy(cp.portName, port.c_str(), port.size() + 1);
    ASSERT_EQ(Call(kChangeVpiParams, &cp), 0);

    EXPECT_EQ(Poll(1), 0) << "set-up";
    for (int i = 0; i < 8; ++i) {
        sim->SetEvent(1, static_cast<uint16_t>(i % 4), i % 2 == 0);
    }
    EXPECT_EQ(sim->EventOverflow(1), std::optional<bool>(true));
    EXPECT_EQ(Poll(1), 1);
    ASSERT_EQ(qorlib::OpenAlerts().size(), 1u);
    EXPECT_EQ(qorlib::OpenAlerts()[0].text, "Overflow of event buffer Station Number 01");
    EXPECT_EQ(Poll(1), 0) << "re-initialised";
    EXPECT_EQ(ctx.ovfPending[1], 0u);
    sim->SetEvent(1, 2, true);
    EXPECT_EQ(Poll(1), 0);
    EXPECT_TRUE(qorlib::OpenAlerts().empty());
    EXPECT_TRUE(qorlib::Logged("MERIX> ReadEvent() Buffer overflow ended for PLC 1"));
}

TEST_F(SimEvents, WarmStartAndStationSwitchReinitialiseTheEvents) {
    EXPECT_EQ(Poll(1), 0);
    EXPECT_EQ(ctx.fEF[1], 0u);
    Gate hima("HIMA01", 255, 80, 1, 6);
    EXPECT_EQ(Write(hima, 0), 0); // switched on while not off: set up again
    EXPECT_EQ(ctx.fEF[1], 1u);
    EXPECT_EQ(Poll(1), 0);
    EXPECT_EQ(ctx.fEF[1], 0u);
    ctx.plcState[1] = 1;
    StationArg arg{1};
    EXPECT_EQ(Call(kWarmStart, &arg), 0);
    EXPECT_EQ(ctx.fEF[1], 1u);
    const size_t before = FramesReceived();
    EXPECT_EQ(Poll(1), 0);
    ASSERT_GT(sim->ReceivedFrames().size(), before);
    EXPECT_EQ(sim->ReceivedFrames()[before].function, 0x41);
}

/// A few thousand events while a tenth of the replies are corrupted, cut short or lost.
class SimEventsChaos : public SimEvents {
protected:
    h51sim::LineConfig LineSettings() const override {
        h51sim::LineConfig line = SimEvents::LineSettings();
        line.baud = 57600;
        line.pacing = false; // the line's timing is not what this test is about
        line.seed = 7;
        return line;
    }
};

TEST_F(SimEventsChaos, NoEventIsLostOrDuplicated) {
    EXPECT_EQ(Poll(1), 0);
    EXPECT_EQ(Poll(2), 0);
    for (int station : {1, 2}) {
        sim->SetFaultProbability(station, {h51sim::FaultKind::BadCrc, 0}, 0.04);
        sim->SetFaultProbability(station, {h51sim::FaultKind::Truncated, 0}, 0.03);
        sim->SetFaultProbability(station, {h51sim::FaultKind::NoReply, 0}, 0.03);
    }
    std::mt19937 rng(11);
    constexpr int kEvents = 3000;
    int failedPolls = 0;
    for (int made = 0; made < kEvents;) {
        const int burst = 1 + static_cast<int>(rng() % 12);
        for (int i = 0; i < burst && made < kEvents; ++i, ++made) {
            const int station = 1 + static_cast<int>(rng() % 2);
            const auto event = static_cast<uint16_t>(rng() % (station == 1 ? 4 : 3));
            sim->SetEvent(station, event, rng() % 2 == 0);
        }
        for (int station : {1, 2}) {
            for (int i = 0; i < 50 && sim->BufferedEvents(station) != std::optional<size_t>(0);
                 ++i) {
                if (Poll(station) != 0) {
                    ++failedPolls;
                }
            }
        }
    }
    for (int station : {1, 2}) {
        sim->ClearFaults(station);
        Drain(station);
    }
    int lost = 0;
    int duplicated = 0;
    Compare(1, 4, &lost, &duplicated, false);
    Compare(2, 3, &lost, &duplicated, false);
    std::printf("chaos: %d events, %llu faulty replies, %d failed polls, lost %d, duplicated %d\n",
                kEvents,
                static_cast<unsigned long long>(sim->StationCounters(1)->faults +
                                                sim->StationCounters(2)->faults),
                failedPolls, lost, duplicated);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(duplicated, 0);
}

} // namespace
} // namespace merix::test
