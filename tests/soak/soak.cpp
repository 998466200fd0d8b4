// merix_soak: a line of 31 simulated stations driven for a given time with reads, writes,
// events and random faults. Checks at the end: every gate received the sequence of values and
// stamps its station made, nothing lost and nothing twice; memory flat; every station back in
// service after WarmStart.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <random>
#include <string>

#include "driver/library_state.h"
#include "host/qorlib_control.h"
#include "merix/vpi.h"
#include "sim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStations = 31;
constexpr int kGates = 8;

long ResidentKiB() {
    long pages = 0;
    long resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE) / 1024;
}

/// An event as "value date time.ms", the same for what was made and what arrived.
std::string Key(int value, const h51sim::StationTime& t) {
    return std::to_string(value) + " " + t.ToString();
}

std::string Key(const qorlib::GateValue& v) {
    return Key(static_cast<int>(v.value), h51sim::LocalTimeAt(v.seconds, v.millis));
}

std::string EventGate(int station, int event) {
    char text[16];
    std::snprintf(text, sizeof text, "E%02d%04d", station, event);
    return text;
}

class Soak {
public:
    explicit Soak(uint64_t seed) : rng_(seed) {
        merix::ResetLibraryStateForTests();
        qorlib::Reset();
        h51sim::LineConfig line;
        line.baud = 57600;
        line.pacing = false;
        line.seed = seed;
        sim_ = std::make_unique<h51sim::Simulator>(line);
        for (int s = 1; s <= kStations; ++s) {
            h51sim::StationConfig config;
            config.address = static_cast<uint8_t>(s);
            config.eventGates = kGates;
            config.eventCapacity = 2000;
            config.holdingRegisters = 1000;
            config.coils = 1000;
            sim_->AddStation(config);
            for (int e = 0; e < kGates; ++e) {
                qorlib::DefineGate(EventGate(s, e), 1);
            }
        }
        // Counts are kept here; the simulator's and the host's own records stay small, so that
        // the resident size speaks of the driver.
        sim_->SetHistoryLimit(64);
    }
    ~Soak() { sim_->Stop(); }

    bool Start() {
        if (!sim_->Start()) {
            return false;
        }
        std::string port = sim_->DeviceName();
        if (port.size() >= merix::kPortNameSize) {
            link_ = "/tmp/mxs" + std::to_string(getpid() % 1000);
            unlink(link_.c_str());
            if (symlink(port.c_str(), link_.c_str()) != 0) {
                return false;
            }
            port = link_;
        }
        merix::StartParams sp{};
        std::memcpy(sp.portName, port.c_str(), port.size() + 1);
        sp.comOn = 1;
        sp.replyTimeout = 10;
        sp.baud = 57600;
        sp.dataBits = 8;
        sp.parity = 2;
        Call(merix::kColdStart, &sp);
        // Set up every station's events before any is made: the set-up empties the buffer.
        for (int s = 1; s <= kStations; ++s) {
            DrainEvents(s);
        }
        return ctx_.hf != 0;
    }

    void Faults(bool on) {
        for (int s = 1; s <= kStations; ++s) {
            if (!on) {
                sim_->ClearFaults(s);
                continue;
            }
            sim_->SetFaultProbability(s, {h51sim::FaultKind::BadCrc, 0}, 0.02);
            sim_->SetFaultProbability(s, {h51sim::FaultKind::Truncated, 0}, 0.02);
            sim_->SetFaultProbability(s, {h51sim::FaultKind::NoReply, 0}, 0.02);
            sim_->SetFaultProbability(s, {h51sim::FaultKind::WrongStation, 0}, 0.01);
            sim_->SetFaultProbability(s, {h51sim::FaultKind::Noise, 0}, 0.01);
            sim_->SetFaultProbability(s, {h51sim::FaultKind::LostRequest, 0}, 0.01);
            sim_->SetFaultProbability(s, {h51sim::FaultKind::RefusePoll, 0}, 0.02);
        }
    }

    /// One pass over the line: events made, every station read, written and polled dry.
    void Cycle() {
        for (int s = 1; s <= kStations; ++s) {
            const int made = static_cast<int>(rng_() % 4);
            for (int i = 0; i < made; ++i) {
                const auto gate = static_cast<int>(rng_() % kGates);
                sim_->SetEvent(s, static_cast<uint16_t>(gate), rng_() % 2 == 0);
                ++events_;
            }
            // The simulator keeps a short history: take this cycle's events off its end.
            const auto generated = sim_->GeneratedEvents(s);
            for (auto g = generated.end() - std::min<long>(made, std::ssize(generated));
                 g != generated.end(); ++g) {
                if (g->buffered) {
                    expected_[s][g->number].push_back(Key(g->value, g->time));
                }
            }
        }
        // Now and then a station falls silent for a whole read, so that it goes into error
        // and has to be recovered.
        const int silent = ++cycles_ % 10 == 0 ? 1 + static_cast<int>(rng_() % kStations) : 0;
        for (int s = 1; s <= kStations; ++s) {
            if (s == silent) {
                sim_->InjectFaults(s, {h51sim::FaultKind::NoReply, 0}, 5);
            }
            const auto address = static_cast<int32_t>(rng_() % 900);
            Access(merix::kSingleRead, s, 3, address, 0, 1);
            Access(merix::kBlockRead, s, 1, address, 6, 1 + static_cast<int32_t>(rng_() % 64));
            SetWord(static_cast<int16_t>(rng_()));
            Access(merix::kSingleWrite, s, 3, address, 0, 1);
            transactions_ += 3;
            DrainEvents(s);
            if (ctx_.plcState[s] == merix::kInError) {
                // Failed for good: recover it, as an operator would. Its buffer was drained
                // first, since the set-up that recovery brings empties it.
                merix::StationArg arg{static_cast<uint32_t>(s)};
                Call(merix::kWarmStart, &arg);
                ++recoveries_;
                DrainEvents(s);
            }
        }
    }

    void DrainEvents(int s) {
        for (int i = 0; i < 100; ++i) {
            const bool empty = sim_->BufferedEvents(s) == std::optional<size_t>(0);
            Access(merix::kSingleRead, s, 3, 0xFFFD, 0, 1, "$EVENT");
            ++transactions_;
            if (empty && ctx_.fReadEvent == 0 && ctx_.fEF[s] == 0 && ctx_.fRE[s] != 1) {
                return;
            }
        }
    }

    int Report(long rssStart, double seconds) {
        Faults(false);
        for (int s = 1; s <= kStations; ++s) {
            DrainEvents(s);
        }
        CountDelivered();
        for (int s = 1; s <= kStations; ++s) {
            for (int e = 0; e < kGates; ++e) {
                lost_ += std::ssize(expected_[s][e]);
            }
        }
        int inService = 0;
        for (int s = 1; s <= kStations; ++s) {
            if (ctx_.plcState[s] == merix::kInError) {
                merix::StationArg arg{static_cast<uint32_t>(s)};
                Call(merix::kWarmStart, &arg);
            }
            inService += ctx_.plcState[s] == merix::kCommunicating ? 1 : 0;
        }
        const long rssEnd = ResidentKiB();
        std::printf("soak: %.0f s, %ld transactions, %ld events, %llu faulty exchanges, %ld "
                    "recoveries\n",
                    seconds, transactions_, events_,
                    static_cast<unsigned long long>(sim_->LineCounters().faults), recoveries_);
        std::printf("soak: faults by kind: %s\n",
                    h51sim::DescribeFaultCounts(sim_->LineCounters().faultsByKind).c_str());
        std::printf("soak: lost %ld, duplicated %ld, stations in service %d of %d\n", lost_,
                    duplicated_, inService, kStations);
        std::printf("soak: resident %ld KiB at start, %ld KiB at end\n", rssStart, rssEnd);
        Call(merix::kEndVpi);
        if (!link_.empty()) {
            unlink(link_.c_str());
        }
        return lost_ == 0 && duplicated_ == 0 && inService == kStations ? 0 : 1;
    }

    /// Matches the events the host received against those made, gate by gate and in order,
    /// and forgets them there. An arrival that skips made events loses them; one that matches
    /// nothing still expected is a duplicate.
    void CountDelivered() {
        for (int s = 1; s <= kStations; ++s) {
            for (int e = 0; e < kGates; ++e) {
                auto& want = expected_[s][e];
                for (const auto& v : qorlib::History(EventGate(s, e), 1)) {
                    if (v.seconds == 0) {
                        continue; // a state from the set-up, not an event
                    }
                    const auto at = std::find(want.begin(), want.end(), Key(v));
                    if (at == want.end()) {
                        ++duplicated_;
                        continue;
                    }
                    lost_ += at - want.begin();
                    want.erase(want.begin(), at + 1);
                }
            }
        }
        qorlib::ClearHistory();
        qorlib::ClearLog();
    }

private:
    int32_t Call(uint32_t command, void* params = nullptr) {
        merix::CallBlock cb{&ctx_, command, 1, 0, params};
        return VpiMain(&cb);
    }
    void SetWord(int16_t w) { std::memcpy(value_ + 2, &w, 2); }
    void Access(uint32_t command, int station, int32_t function, int32_t address, int32_t gateType,
                int32_t count, const char* text = "01300000") {
        std::snprintf(text_, sizeof text_, "%s", text);
        merix::GateAccessRecord rec{};
        rec.addressString = text_;
        rec.station = station;
        rec.function = function;
        rec.address = address;
        rec.gateType = gateType;
        rec.count = count;
        rec.valuePtr = value_;
        Call(command, &rec);
    }

    std::mt19937_64 rng_;
    std::unique_ptr<h51sim::Simulator> sim_;
    merix::DriverContext ctx_{};
    std::string link_;
    char text_[16] = {};
    uint8_t value_[512] = {};
    std::deque<std::string> expected_[kStations + 1][kGates];
    long lost_ = 0;
    long duplicated_ = 0;
    long cycles_ = 0;
    long transactions_ = 0;
    long events_ = 0;
    long recoveries_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    double seconds = 60;
    uint64_t seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        }
    }
    Soak soak(seed);
    if (!soak.Start()) {
        std::fprintf(stderr, "soak: cannot start the simulated line\n");
        return 2;
    }
    soak.Cycle(); // warm-up, so the start figure includes what every run needs
    soak.CountDelivered();
    const long rssStart = ResidentKiB();
    soak.Faults(true);
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        soak.Cycle();
        soak.CountDelivered();
    }
    return soak.Report(rssStart, seconds);
}
