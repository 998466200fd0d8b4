// Event collection against the simulated line: every generated event arrives once, in
// order, in its gate, with its time stamp to the millisecond.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <thread>
#include <utility>

#include "sim_line.h"
#include "work_in.h"

namespace merix::test {
namespace {

class SimEvents : public SimLine {
protected:
    /// Station and number of event gates, in the simulator and in the host alike.
    virtual std::vector<std::pair<int, int>> EventStations() const { return {{1, 4}, {2, 3}}; }
    void AddStations() override {
        for (const auto& [station, gates] : EventStations()) {
            AddStation(station, static_cast<uint16_t>(gates), 2000);
        }
    }
    void SetUp() override {
        SimLine::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        for (const auto& [station, gates] : EventStations()) {
            DefineEventGates(station, gates);
        }
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
    /// An event as "value date time.ms", the same for what was made and what arrived.
    static std::string Key(int value, const h51sim::StationTime& t) {
        return std::to_string(value) + " " + t.ToString();
    }
    static std::string Key(const qorlib::GateValue& v) {
        return Key(static_cast<int>(v.value), h51sim::LocalTimeAt(v.seconds, v.millis));
    }
    /// Compares, gate by gate, the sequence of (value, stamp to the millisecond) that the
    /// station made with what the host received; counts what never arrived and what arrived
    /// more often than it was made.
    void Compare(int station, int gates, int* lost, int* duplicated) {
        std::map<int, std::vector<std::string>> made;
        for (const auto& g : sim->GeneratedEvents(station)) {
            if (g.buffered) {
                made[g.number].push_back(Key(g.value, g.time));
            }
        }
        for (int e = 0; e < gates; ++e) {
            std::vector<std::string> got;
            for (const auto& v : Delivered(station, e)) {
                got.push_back(Key(v));
            }
            const auto& want = made[e];
            std::map<std::string, int> balance;
            for (const auto& k : want) {
                ++balance[k];
            }
            for (const auto& k : got) {
                --balance[k];
            }
            for (const auto& [k, n] : balance) {
                *lost += std::max(n, 0);
                *duplicated += std::max(-n, 0);
            }
            const auto [w, g] = std::mismatch(want.begin(), want.end(), got.begin(), got.end());
            EXPECT_TRUE(w == want.end() && g == got.end())
                << EventGate(station, e) << " differs at #" << (w - want.begin()) << ": made "
                << (w == want.end() ? "nothing" : *w) << ", received "
                << (g == got.end() ? "nothing" : *g);
        }
    }
    /// Polls until the station's buffer is empty and an empty block came back.
    void Drain(int station) {
        for (int i = 0; i < 200; ++i) {
            const bool empty = sim->BufferedEvents(station) == std::optional<size_t>(0);
            Poll(station);
            if (empty && ctx.fReadEvent == 0 && ctx.fEF[station] == 0 && ctx.fRE[station] != 1) {
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
    ctx.plcState[1] = kInError;
    StationArg arg{1};
    EXPECT_EQ(Call(kWarmStart, &arg), 0);
    EXPECT_EQ(ctx.fEF[1], 1u);
    const size_t before = FramesReceived();
    EXPECT_EQ(Poll(1), 0);
    ASSERT_GT(sim->ReceivedFrames().size(), before);
    EXPECT_EQ(sim->ReceivedFrames()[before].function, 0x41);
}

// A station demoted between two polls keeps its events in its buffer; the probe after the
// period and the polls after it bring each of them once.
class SimEventsDemoted : public SimEvents {
protected:
    void SetUp() override {
        std::ofstream("MERIX01.INI") << "DEMOTE = 1\n";
        SimEvents::SetUp();
    }
    WorkIn work{"merix_events_demoted_"};
};

TEST_F(SimEventsDemoted, NoEventIsLostOrDuplicatedAcrossADemotion) {
    ASSERT_EQ(Poll(1), 0) << "set-up";
    sim->SetEvent(1, 0, true);
    sim->SetEvent(1, 1, true);
    EXPECT_EQ(Poll(1), 0);
    sim->SetEvent(1, 2, true);
    sim->InjectFaults(1, {h51sim::FaultKind::NoReply, 0}, 5);
    EXPECT_EQ(Poll(1), kResultFailed) << "failed for good: demoted";
    const uint64_t asked = sim->StationCounters(1)->requests;
    sim->SetEvent(1, 3, true);
    sim->SetEvent(1, 0, false);
    EXPECT_EQ(Poll(1), kResultFailed) << "answered at once";
    EXPECT_EQ(sim->StationCounters(1)->requests, asked) << "nothing sent while demoted";
    std::this_thread::sleep_for(1100ms);
    Drain(1);
    int lost = 0;
    int duplicated = 0;
    Compare(1, 4, &lost, &duplicated);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(duplicated, 0);
}

/// Ten thousand events over four stations while a tenth of the exchanges go wrong in every
/// way the line knows: each gate must receive exactly the sequence its station made.
class SimEventsChaos : public SimEvents {
protected:
    std::vector<std::pair<int, int>> EventStations() const override {
        return {{1, 4}, {2, 3}, {3, 6}, {4, 5}};
    }
    h51sim::LineConfig LineSettings() const override {
        h51sim::LineConfig line = SimEvents::LineSettings();
        line.baud = 57600;
        line.pacing = false; // the line's timing is not what this test is about
        line.seed = 7;
        return line;
    }
};

TEST_F(SimEventsChaos, NoEventIsLostOrDuplicated) {
    using h51sim::FaultKind;
    const auto stations = EventStations();
    for (const auto& [station, gates] : stations) {
        EXPECT_EQ(Poll(station), 0) << "set-up";
        sim->SetFaultProbability(station, {FaultKind::NoReply, 0}, 0.02);
        sim->SetFaultProbability(station, {FaultKind::BadCrc, 0}, 0.02);
        sim->SetFaultProbability(station, {FaultKind::Truncated, 0}, 0.015);
        sim->SetFaultProbability(station, {FaultKind::WrongStation, 0}, 0.015);
        sim->SetFaultProbability(station, {FaultKind::LostRequest, 0}, 0.02);
        sim->SetFaultProbability(station, {FaultKind::RefusePoll, 0}, 0.02);
    }
    const uint64_t framesBefore = sim->LineCounters().frames;
    std::mt19937 rng(11);
    constexpr int kEvents = 10000;
    int failedPolls = 0;
    for (int made = 0; made < kEvents;) {
        const int burst = 1 + static_cast<int>(rng() % 40);
        for (int i = 0; i < burst && made < kEvents; ++i, ++made) {
            const auto& [station, gates] = stations[rng() % stations.size()];
            const auto event = static_cast<uint16_t>(rng() % static_cast<unsigned>(gates));
            sim->SetEvent(station, event, rng() % 2 == 0);
        }
        // A read that fails for good leaves the station in error; its events are still
        // collected, and no WarmStart is made, since its set-up would empty the buffer.
        for (const auto& [station, gates] : stations) {
            for (int i = 0; i < 50 && sim->BufferedEvents(station) != std::optional<size_t>(0);
                 ++i) {
                failedPolls += Poll(station) != 0 ? 1 : 0;
            }
        }
    }
    const h51sim::Counters line = sim->LineCounters();
    int lost = 0;
    int duplicated = 0;
    for (const auto& [station, gates] : stations) {
        sim->ClearFaults(station);
        Drain(station);
        Compare(station, gates, &lost, &duplicated);
    }
    const uint64_t exchanges = line.frames - framesBefore;
    std::printf("chaos: %d events on %zu stations, %llu exchanges, %llu faulty (%.1f %%), %d "
                "failed polls\n",
                kEvents, stations.size(), static_cast<unsigned long long>(exchanges),
                static_cast<unsigned long long>(line.faults),
                exchanges == 0 ? 0.0 : 100.0 * static_cast<double>(line.faults) / exchanges,
                failedPolls);
    std::printf("chaos: faults by kind: %s\n",
                h51sim::DescribeFaultCounts(line.faultsByKind).c_str());
    std::printf("chaos: lost %d, duplicated %d\n", lost, duplicated);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(duplicated, 0);
    for (const auto kind :
         {FaultKind::NoReply, FaultKind::BadCrc, FaultKind::Truncated, FaultKind::WrongStation,
          FaultKind::LostRequest, FaultKind::RefusePoll}) {
        EXPECT_GT(line.faultsByKind[static_cast<size_t>(kind)], 0u)
            << h51sim::FaultKindName(kind) << " never struck";
    }
}

} // namespace
} // namespace merix::test
