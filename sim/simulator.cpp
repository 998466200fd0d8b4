// The simulator's API: configuration, inspection and waiting. The line thread is in
// simulator_loop.cpp.
#include "sim/simulator.h"

#include <fcntl.h>
#include <unistd.h>

namespace h51sim {

namespace {

enum SeedPurpose : uint64_t { kEventSeed = 1, kFaultSeed = 2 };

} // namespace

Simulator::Slot::Slot(const StationConfig& config, uint64_t seed)
    : station(config), faults(DeriveSeed(seed, config.address, kFaultSeed)),
      eventRng(DeriveSeed(seed, config.address, kEventSeed)), eventRate(config.eventRate) {}

Simulator::Simulator(const LineConfig& line) : line_(line), timing_(line) {
    // Lives as long as the simulator, so that callers may poke it at any time.
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        wake_[0] = wake_[1] = -1;
    }
}

Simulator::~Simulator() {
    Stop();
    if (wake_[0] >= 0) {
        close(wake_[0]);
        close(wake_[1]);
    }
}

void Simulator::Wake() {
    if (wake_[1] >= 0) {
        const char byte = 1;
        (void)!write(wake_[1], &byte, 1);
    }
}

Simulator::Slot* Simulator::Find(int station) {
    return station >= 1 && station <= 31 ? slots_[static_cast<size_t>(station)].get() : nullptr;
}

const Simulator::Slot* Simulator::Find(int station) const {
    return station >= 1 && station <= 31 ? slots_[static_cast<size_t>(station)].get() : nullptr;
}

void Simulator::Notify() {
    ++generation_;
    changed_.notify_all();
}

bool Simulator::AddStation(const StationConfig& config, std::string* error) {
    const char* why = nullptr;
    if (!ValidateStationConfig(config, &why)) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    }
    std::lock_guard lock(mutex_);
    auto& slot = slots_[config.address];
    if (slot) {
        if (error != nullptr) {
            *error = "station " + std::to_string(config.address) + " is already configured";
        }
        return false;
    }
    slot = std::make_unique<Slot>(config, line_.seed);
    slot->nextRandomEvent = NextRandomTime(*slot, Clock::now());
    return true;
}

bool Simulator::Start(std::string* error) {
    std::string why;
    auto endpoint = LineEndpoint::OpenPty(line_.baud, &why);
    if (!endpoint) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    }
    return StartWith(std::move(endpoint), error);
}

bool Simulator::StartOnDevice(const std::string& path, std::string* error) {
    std::string why;
    auto endpoint = LineEndpoint::OpenDevice(path, line_, &why);
    if (!endpoint) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    }
    return StartWith(std::move(endpoint), error);
}

bool Simulator::StartWith(std::unique_ptr<LineEndpoint> endpoint, std::string* error) {
    const char* why = nullptr;
    if (!ValidateLineConfig(line_, &why)) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    }
    if (Running()) {
        if (error != nullptr) {
            *error = "already running";
        }
        return false;
    }
    if (wake_[0] < 0) {
        if (error != nullptr) {
            *error = "cannot create the wake-up pipe";
        }
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        deviceName_ = endpoint->Name();
        endpoint_ = std::move(endpoint);
        framer_ = Framer{};
    }
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Simulator::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard lock(stopMutex_);
        stop_ = true;
    }
    stopCv_.notify_all();
    Wake();
    thread_.join();
    std::lock_guard lock(mutex_);
    endpoint_.reset();
    tap_.reset();
}

std::string Simulator::OpenTap(std::string* error) {
    std::string why;
    if (Running()) {
        why = "the tap is opened before the line starts";
    } else if (!tap_) {
        tap_ = LineEndpoint::OpenPty(line_.baud, &why);
    }
    if (!tap_) {
        if (error != nullptr) {
            *error = why;
        }
        return {};
    }
    return tap_->Name();
}

std::string Simulator::DeviceName() const {
    std::lock_guard lock(mutex_);
    return deviceName_;
}

void Simulator::SetTraceSink(TraceSink sink) {
    std::lock_guard lock(mutex_);
    trace_.SetSink(std::move(sink));
}

void Simulator::SetHistoryLimit(size_t limit) {
    std::lock_guard lock(mutex_);
    historyLimit_ = limit == 0 ? 1 : limit;
}

bool Simulator::SetCoil(int station, uint32_t address, bool value) {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(station);
    return slot != nullptr && slot->station.SetCoil(address, value);
}

bool Simulator::SetDiscreteInput(int station, uint32_t address, bool value) {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(station);
    return slot != nullptr && slot->station.SetDiscreteInput(address, value);
}

bool Simulator::SetHoldingRegister(int station, uint32_t address, uint16_t value) {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(station);
    return slot != nullptr && slot->station.SetHoldingRegister(address, value);
}

bool Simulator::SetInputRegister(int station, uint32_t address, uint16_t value) {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(station);
    return slot != nullptr && slot->station.SetInputRegister(address, value);
}

std::optional<bool> Simulator::GetCoil(int station, uint32_t address) const {
    return Query(station, [&](const Slot& slot) { return slot.station.Coil(address); });
}

std::optional<bool> Simulator::GetDiscreteInput(int station, uint32_t address) const {
    return Query(station, [&](const Slot& slot) { return slot.station.DiscreteInput(address); });
}

std::optional<uint16_t> Simulator::GetHoldingRegister(int station, uint32_t address) const {
    return Query(station, [&](const Slot& slot) { return slot.station.HoldingRegister(address); });
}

std::optional<uint16_t> Simulator::GetInputRegister(int station, uint32_t address) const {
    return Query(station, [&](const Slot& slot) { return slot.station.InputRegister(address); });
}

bool Simulator::SetEvent(int station, uint16_t number, bool value) {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(station);
    if (slot == nullptr || number >= slot->station.Events().Gates()) {
        return false;
    }
    GenerateLocked(*slot, number, value, Clock::now());
    return true;
}

bool Simulator::ScheduleEvent(int station, uint16_t number, bool value,
                              std::chrono::milliseconds after) {
    {
        std::lock_guard lock(mutex_);
        const Slot* slot = Find(station);
        if (slot == nullptr || number >= slot->station.Events().Gates()) {
            return false;
        }
        scheduled_.emplace(Clock::now() + after,
                           Scheduled{static_cast<uint8_t>(station), number, value});
    }
    // The line thread may be asleep until a later deadline.
    Wake();
    return true;
}

bool Simulator::SetEventRate(int station, double perSecond) {
    if (!(perSecond >= 0.0) || perSecond > 1e6) {
        return false;
    }
    std::lock_guard lock(mutex_);
    Slot* slot = Find(station);
    if (slot == nullptr) {
        return false;
    }
    slot->eventRate = perSecond;
    slot->nextRandomEvent = NextRandomTime(*slot, Clock::now());
    Wake();
    return true;
}

std::vector<GeneratedEvent> Simulator::GeneratedEvents(int station) const {
    return Query(station, [&](const Slot& slot) {
        return std::vector<GeneratedEvent>(slot.generated.begin(), slot.generated.end());
    });
}

std::optional<bool> Simulator::GetEventState(int station, uint16_t number) const {
    return Query(station, [&](const Slot& slot) {
        return number < slot.station.Events().Gates()
                   ? std::optional<bool>(slot.station.Events().State(number))
                   : std::nullopt;
    });
}

std::optional<size_t> Simulator::BufferedEvents(int station) const {
    return Query(station, [&](const Slot& slot) {
        return std::optional<size_t>(slot.station.Events().Buffered());
    });
}

std::optional<bool> Simulator::EventOverflow(int station) const {
    return Query(station, [&](const Slot& slot) {
        return std::optional<bool>(slot.station.Events().Overflow());
    });
}

std::optional<StationTime> Simulator::StationClockNow(int station) const {
    return Query(station, [&](const Slot& slot) {
        return std::optional<StationTime>(slot.station.ClockRef().Now(Clock::now()));
    });
}

bool Simulator::SetStationClock(int station, const StationTime& time) {
    std::array<uint8_t, 8> check{static_cast<uint8_t>(time.millisecond % 100),
                                 static_cast<uint8_t>(time.millisecond / 100),
                                 static_cast<uint8_t>(time.second),
                                 static_cast<uint8_t>(time.minute),
                                 static_cast<uint8_t>(time.hour),
                                 static_cast<uint8_t>(time.day),
                                 static_cast<uint8_t>(time.month),
                                 static_cast<uint8_t>(time.year % 100)};
    if (time.millisecond > 999 || time.year < 2000 || time.year > 2099 ||
        !TimeFromSyncBytes(check)) {
        return false;
    }
    std::lock_guard lock(mutex_);
    Slot* slot = Find(station);
    if (slot == nullptr) {
        return false;
    }
    slot->station.ClockRef().Set(time, Clock::now());
    return true;
}

std::optional<TimeSyncRecord> Simulator::LastTimeSync() const {
    std::lock_guard lock(mutex_);
    return lastTimeSync_;
}

bool Simulator::InjectFaults(int station, const Fault& fault, unsigned count) {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(station);
    if (slot == nullptr) {
        return false;
    }
    slot->faults.Script(fault, count);
    return true;
}

bool Simulator::SetFaultProbability(int station, const Fault& fault, double probability) {
    if (!(probability >= 0.0 && probability <= 1.0)) {
        return false;
    }
    std::lock_guard lock(mutex_);
    Slot* slot = Find(station);
    if (slot == nullptr) {
        return false;
    }
    slot->faults.AddRandom(fault, probability);
    return true;
}

bool Simulator::ClearFaults(int station) {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(station);
    if (slot == nullptr) {
        return false;
    }
    slot->faults.Clear();
    return true;
}

std::vector<ReceivedFrame> Simulator::ReceivedFrames() const {
    std::lock_guard lock(mutex_);
    return {frames_.begin(), frames_.end()};
}

Counters Simulator::LineCounters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

std::optional<Counters> Simulator::StationCounters(int station) const {
    return Query(station, [&](const Slot& slot) { return std::optional<Counters>(slot.counters); });
}

bool Simulator::WaitForRequests(uint64_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return counters_.frames >= n; });
}

bool Simulator::WaitForReplies(uint64_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return counters_.replies >= n; });
}

bool Simulator::WaitFor(const std::function<bool()>& condition,
                        std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (;;) {
        const uint64_t seen = generation_;
        lock.unlock();
        if (condition()) {
            return true;
        }
        lock.lock();
        // Also wake now and then: the condition may depend on state that changes without a
        // notification (a station clock, a caller's own variables).
        const auto wake = std::min(deadline, Clock::now() + std::chrono::milliseconds(50));
        changed_.wait_until(lock, wake, [&] { return generation_ != seen; });
        if (Clock::now() >= deadline) {
            lock.unlock();
            return condition();
        }
    }
}

} // namespace h51sim
