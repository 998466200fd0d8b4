// One serial line with up to 31 H51-family controllers behind it, run on its own thread.
//
// Every public method may be called from any thread while the line runs; the simulator
// thread and the callers share the state under one lock. The trace sink is called with that
// lock held and must not call back into the simulator.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/faults.h"
#include "sim/framer.h"
#include "sim/line_endpoint.h"
#include "sim/line_timing.h"
#include "sim/request.h"
#include "sim/station.h"
#include "sim/trace.h"

namespace h51sim {

/// Traffic counters of the line or of one station.
struct Counters {
    uint64_t frames = 0;      ///< frames cut from the input, well formed or not
    uint64_t badFrames = 0;   ///< bad CRC, too short, wrong length: ignored as a slave must
    uint64_t requests = 0;    ///< well-formed requests addressed to a configured station
    uint64_t broadcasts = 0;  ///< well-formed requests to station 0
    uint64_t unaddressed = 0; ///< well-formed requests to a station that is not configured
    uint64_t replies = 0;     ///< replies put on the line (faulty ones included)
    uint64_t faults = 0;      ///< requests or replies that suffered an injected fault
    /// Bytes the master sent at another baud rate than the line's: garbled, so ignored
    uint64_t misratedBytes = 0;
    /// Bytes a listener on the tap transmitted: a listener must not, so they are dropped
    uint64_t tapTransmitted = 0;
    std::array<uint64_t, kFaultKinds> faultsByKind{}; ///< the same by FaultKind
};

/// A frame as the simulator received it, with what it made of it.
struct ReceivedFrame {
    std::vector<uint8_t> bytes;
    Clock::time_point firstByte{};
    RequestError error = RequestError::None;
    uint8_t station = 0;  ///< byte 0, when there was one
    uint8_t function = 0; ///< byte 1, when there was one
    bool answered = false;
    std::optional<Fault> fault;
};

/// The last time-synchronisation request received.
struct TimeSyncRecord {
    std::array<uint8_t, 8> bytes{};
    std::optional<StationTime> time; ///< nullopt when a field was out of range
    uint8_t station = 0;             ///< 0 for the broadcast
    Clock::time_point at{};
};

class Simulator {
public:
    explicit Simulator(const LineConfig& line = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    /// Adds a controller (address 1 to 31); also while running.
    bool AddStation(const StationConfig& config, std::string* error = nullptr);

    /// Creates a pseudo-terminal and runs the line on it; DeviceName() gives the slave's name.
    bool Start(std::string* error = nullptr);
    /// Runs the line on a real serial device instead.
    bool StartOnDevice(const std::string& path, std::string* error = nullptr);
    /// Stops the thread and closes the line. Safe to call more than once.
    void Stop();
    bool Running() const { return thread_.joinable(); }
    /// The device a master opens, e.g. "/dev/pts/7"; empty before Start.
    std::string DeviceName() const;
    /// Opens a second pseudo-terminal before Start on which a listener hears the whole line,
    /// the master's requests and the stations' replies, as a bus hears them: what it transmits
    /// is counted (tapTransmitted) and dropped, and a listener at another baud rate than the
    /// line's hears garbage. Its slave's name, or empty after setting `error`.
    std::string OpenTap(std::string* error = nullptr);
    const LineConfig& Line() const { return line_; }
    const LineTiming& Timing() const { return timing_; }

    /// Where trace lines go; none by default.
    void SetTraceSink(TraceSink sink);
    /// Received frames and generated events kept per list (oldest dropped); default 100000.
    void SetHistoryLimit(size_t limit);

    // Data tables. Setters return false and getters nullopt for an unknown station or address.
    bool SetCoil(int station, uint32_t address, bool value);
    bool SetDiscreteInput(int station, uint32_t address, bool value);
    bool SetHoldingRegister(int station, uint32_t address, uint16_t value);
    bool SetInputRegister(int station, uint32_t address, uint16_t value);
    std::optional<bool> GetCoil(int station, uint32_t address) const;
    std::optional<bool> GetDiscreteInput(int station, uint32_t address) const;
    std::optional<uint16_t> GetHoldingRegister(int station, uint32_t address) const;
    std::optional<uint16_t> GetInputRegister(int station, uint32_t address) const;

    // Events.
    /// Event gate `number` of `station` changes to `value` now (buffered, or lost on overflow).
    bool SetEvent(int station, uint16_t number, bool value);
    /// The same, `after` from now, done by the simulator thread (needs Start).
    bool ScheduleEvent(int station, uint16_t number, bool value, std::chrono::milliseconds after);
    /// Random changes per second over all event gates of the station; 0 stops them.
    bool SetEventRate(int station, double perSecond);
    /// Every change the station produced, oldest first, with its time stamp.
    std::vector<GeneratedEvent> GeneratedEvents(int station) const;
    std::optional<bool> GetEventState(int station, uint16_t number) const;
    std::optional<size_t> BufferedEvents(int station) const;
    std::optional<bool> EventOverflow(int station) const;

    // Clocks.
    std::optional<StationTime> StationClockNow(int station) const;
    bool SetStationClock(int station, const StationTime& time);
    std::optional<TimeSyncRecord> LastTimeSync() const;

    // Faults.
    /// The next `count` replies of `station` suffer `fault`.
    bool InjectFaults(int station, const Fault& fault, unsigned count);
    /// Each reply of `station` suffers `fault` with `probability`, from the seeded generator.
    bool SetFaultProbability(int station, const Fault& fault, double probability);
    bool ClearFaults(int station);

    // Observation.
    std::vector<ReceivedFrame> ReceivedFrames() const;
    Counters LineCounters() const;
    std::optional<Counters> StationCounters(int station) const;

    // Waiting, for tests: true when the condition holds within `timeout`.
    /// At least `n` frames received and handled (counted from construction).
    bool WaitForRequests(uint64_t n, std::chrono::milliseconds timeout) const;
    /// At least `n` replies completely put on the line (counted from construction).
    bool WaitForReplies(uint64_t n, std::chrono::milliseconds timeout) const;
    /// `condition` (called without the lock held) becomes true.
    bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

private:
    struct Slot {
        explicit Slot(const StationConfig& config, uint64_t seed);
        Station station;
        FaultPlan faults;
        Rng eventRng;
        double eventRate;
        Clock::time_point nextRandomEvent{};
        Counters counters;
        std::deque<GeneratedEvent> generated;
    };
    struct Scheduled {
        uint8_t station;
        uint16_t number;
        bool value;
    };
    struct Outgoing {
        std::vector<uint8_t> bytes;
        Clock::time_point start{};
        std::chrono::milliseconds delay{0};
        uint8_t station = 0;
        std::optional<Fault> fault;
    };

    Slot* Find(int station);
    const Slot* Find(int station) const;

    /// `read(slot)` under the lock; an empty result for an unknown station.
    template <typename Read> auto Query(int station, Read read) const {
        using Result = decltype(read(std::declval<const Slot&>()));
        std::lock_guard lock(mutex_);
        const Slot* slot = Find(station);
        return slot == nullptr ? Result{} : read(*slot);
    }
    /// The time of the slot's next random event after `now` (far future at rate 0).
    static Clock::time_point NextRandomTime(Slot& slot, Clock::time_point now);
    bool StartWith(std::unique_ptr<LineEndpoint> endpoint, std::string* error);
    void Notify();
    void Wake();

    // The line thread (simulator_loop.cpp).
    void Run();
    /// False, with the bytes counted and traced, when the master sends `n` bytes at another
    /// rate than the line's: a station's UART makes nothing of them.
    bool AtLineRate(size_t n);
    /// Hands bytes that went over the line to the tap's listener, never waiting for it.
    void Tap(const uint8_t* bytes, size_t n);
    /// Drops what the tap's listener transmitted, counted and traced.
    void DrainTap();
    void HandleFrame(const RxFrame& frame);
    Outgoing Answer(const RxFrame& frame, ReceivedFrame& record);
    /// The addressed station's reply as the fault planned for this request leaves it; the
    /// fault goes into `out` and is counted.
    std::vector<uint8_t> StationReply(Slot& slot, const Request& request, Clock::time_point now,
                                      Outgoing& out);
    void SendPaced(const Outgoing& out);
    void FireEvents(Clock::time_point now);
    Clock::time_point NextWake(Clock::time_point now);
    bool SleepUntil(Clock::time_point deadline);
    void GenerateLocked(Slot& slot, uint16_t number, bool value, Clock::time_point now);

    const LineConfig line_;
    const LineTiming timing_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    uint64_t generation_ = 0;
    std::array<std::unique_ptr<Slot>, 32> slots_;
    std::deque<ReceivedFrame> frames_;
    std::multimap<Clock::time_point, Scheduled> scheduled_;
    std::optional<TimeSyncRecord> lastTimeSync_;
    Counters counters_;
    size_t historyLimit_ = 100000;
    Trace trace_;

    std::unique_ptr<LineEndpoint> endpoint_;
    std::unique_ptr<LineEndpoint> tap_;
    std::string deviceName_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex stopMutex_;
    std::condition_variable stopCv_;
    int wake_[2] = {-1, -1};
    Framer framer_;
};

} // namespace h51sim
