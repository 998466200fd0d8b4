// The line thread: reads the master's bytes, cuts frames, lets the addressed station answer,
// and puts the reply on the line at the line's pace; between frames it produces events.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "sim/reply.h"
#include "sim/simulator.h"

namespace h51sim {

namespace {

constexpr auto kMaxIdle = std::chrono::milliseconds(100);
constexpr auto kWriteRoom = std::chrono::milliseconds(200);
// A burst of random events larger than this means the thread was held up; start afresh.
constexpr int kMaxCatchUp = 10000;

template <typename T> void Trim(std::deque<T>& list, size_t limit) {
    while (list.size() > limit) {
        list.pop_front();
    }
}

std::string FaultNote(const Fault& fault) {
    return "fault: " + std::string(FaultKindName(fault.kind)) +
           (fault.param != 0 ? " " + std::to_string(fault.param) : std::string()) +
           (fault.kind == FaultKind::LostRequest ? ", the station never saw it" : std::string());
}

} // namespace

Clock::time_point Simulator::NextRandomTime(Slot& slot, Clock::time_point now) {
    if (!(slot.eventRate > 0.0) || slot.station.Events().Gates() == 0) {
        return Clock::time_point::max();
    }
    const std::chrono::duration<double> wait(slot.eventRng.Exponential(slot.eventRate));
    return now + std::chrono::duration_cast<Clock::duration>(wait);
}

void Simulator::Run() {
    std::array<uint8_t, 512> buffer{};
    bool lineFailed = false;
    while (!stop_) {
        const auto now = Clock::now();
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
            std::max(NextWake(now) - now, Clock::duration::zero()));
        pollfd fds[3] = {{wake_[0], POLLIN, 0},
                         {tap_ ? tap_->Fd() : -1, POLLIN, 0},
                         {endpoint_->Fd(), POLLIN, 0}};
        // After a failed read the line is left alone until the next round, or this would spin.
        const nfds_t count = lineFailed ? 2 : 3;
        lineFailed = false;
        if (poll(fds, count, static_cast<int>(std::min(wait, kMaxIdle).count())) < 0) {
            continue;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            DrainTap();
        }
        if ((fds[0].revents & POLLIN) != 0) {
            char drain[64];
            while (read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        if (count == 3 && fds[2].revents != 0) {
            const long n = endpoint_->Read(buffer.data(), buffer.size());
            if (n > 0) {
                Tap(buffer.data(), static_cast<size_t>(n));
                if (line_.echo) {
                    endpoint_->Write(buffer.data(), static_cast<size_t>(n), kWriteRoom);
                }
                if (AtLineRate(static_cast<size_t>(n))) {
                    framer_.Push(std::span(buffer.data(), static_cast<size_t>(n)), Clock::now());
                }
            } else if (n < 0 || (fds[2].revents & (POLLERR | POLLHUP)) != 0) {
                lineFailed = true;
                SleepUntil(Clock::now() + kMaxIdle);
            }
        }
        while (auto frame = framer_.Pop()) {
            HandleFrame(*frame);
        }
        if (framer_.Pending() && Clock::now() - framer_.LastByteTime() >= timing_.SilenceGap()) {
            HandleFrame(*framer_.Flush());
        }
        FireEvents(Clock::now());
    }
}

Clock::time_point Simulator::NextWake(Clock::time_point now) {
    Clock::time_point wake = now + kMaxIdle;
    if (framer_.Pending()) {
        wake = std::min(wake, framer_.LastByteTime() + timing_.SilenceGap());
    }
    std::lock_guard lock(mutex_);
    if (!scheduled_.empty()) {
        wake = std::min(wake, scheduled_.begin()->first);
    }
    for (const auto& slot : slots_) {
        if (slot) {
            wake = std::min(wake, slot->nextRandomEvent);
        }
    }
    return wake;
}

bool Simulator::SleepUntil(Clock::time_point deadline) {
    std::unique_lock lock(stopMutex_);
    return !stopCv_.wait_until(lock, deadline, [&] { return stop_.load(); });
}

bool Simulator::AtLineRate(size_t n) {
    if (line_.anyBaud) {
        return true;
    }
    const std::optional<uint32_t> rate = endpoint_->MasterBaud();
    if (!rate || *rate == 0 || *rate == static_cast<uint32_t>(line_.baud)) {
        return true;
    }
    std::lock_guard lock(mutex_);
    counters_.misratedBytes += n;
    if (trace_.Enabled()) {
        trace_.Note(std::to_string(n) + " bytes at " + std::to_string(*rate) + " baud on a " +
                    std::to_string(line_.baud) + " baud line: garbled, ignored");
    }
    Notify();
    return false;
}

void Simulator::Tap(const uint8_t* bytes, size_t n) {
    if (!tap_ || n == 0) {
        return;
    }
    const std::optional<uint32_t> rate = tap_->MasterBaud();
    if (rate && *rate != 0 && *rate != static_cast<uint32_t>(line_.baud)) {
        // A UART at another rate samples the wrong bits: garbage, not the frame.
        std::vector<uint8_t> garbled(bytes, bytes + n);
        for (uint8_t& b : garbled) {
            b = static_cast<uint8_t>(~b ^ 0x5A);
        }
        tap_->Write(garbled.data(), n, std::chrono::milliseconds(0));
        return;
    }
    tap_->Write(bytes, n, std::chrono::milliseconds(0));
}

void Simulator::DrainTap() {
    std::array<uint8_t, 256> drop{};
    const long n = tap_->Read(drop.data(), drop.size());
    if (n <= 0) {
        return;
    }
    std::lock_guard lock(mutex_);
    counters_.tapTransmitted += static_cast<uint64_t>(n);
    if (trace_.Enabled()) {
        trace_.Note(std::to_string(n) + " bytes transmitted by the tap's listener: dropped");
    }
    Notify();
}

void Simulator::HandleFrame(const RxFrame& frame) {
    ReceivedFrame record;
    record.bytes = frame.bytes;
    record.firstByte = frame.firstByte;
    Outgoing out;
    {
        std::lock_guard lock(mutex_);
        out = Answer(frame, record);
        record.answered = !out.bytes.empty();
        record.fault = out.fault;
        frames_.push_back(std::move(record));
        Trim(frames_, historyLimit_);
        ++counters_.frames;
        Notify();
    }
    if (!out.bytes.empty()) {
        SendPaced(out);
    }
}

Simulator::Outgoing Simulator::Answer(const RxFrame& frame, ReceivedFrame& record) {
    const ParseResult parsed = ParseRequest(frame.bytes);
    record.error = parsed.error;
    record.station = frame.bytes.empty() ? 0 : frame.bytes[0];
    record.function = frame.bytes.size() < 2 ? 0 : frame.bytes[1];
    if (!parsed.ok()) {
        // A slave keeps silent on a frame it cannot trust.
        ++counters_.badFrames;
        trace_.Received(frame.bytes, "ignored");
        return {};
    }
    const Request& request = parsed.request;
    const auto now = Clock::now();
    if (request.function == kTimeSync) {
        const auto time = request.byteCount == merix::kClockFieldSize
                              ? TimeFromSyncBytes(request.time)
                              : std::nullopt;
        lastTimeSync_ = TimeSyncRecord{request.time, time, request.station, now};
    }
    if (request.station == kBroadcastStation) {
        ++counters_.broadcasts;
        for (auto& slot : slots_) {
            if (slot) {
                (void)slot->station.Execute(request, true, now);
            }
        }
        trace_.Received(frame.bytes, "broadcast, no reply");
        return {};
    }
    Slot* slot = Find(request.station);
    if (slot == nullptr) {
        ++counters_.unaddressed;
        trace_.Received(frame.bytes, "no such station, no reply");
        return {};
    }
    ++counters_.requests;
    ++slot->counters.requests;

    Outgoing out;
    out.station = request.station;
    std::vector<uint8_t> reply = StationReply(*slot, request, now, out);
    trace_.Received(frame.bytes, out.fault ? FaultNote(*out.fault)
                                           : (reply.empty() ? "no reply" : std::string()));
    out.bytes = std::move(reply);
    out.start = timing_.ReplyStart(frame.firstByte, frame.bytes.size()) + out.delay;
    return out;
}

std::vector<uint8_t> Simulator::StationReply(Slot& slot, const Request& request,
                                             Clock::time_point now, Outgoing& out) {
    // A broadcast function (the time synchronisation) is never answered, so there is no reply
    // for a fault to spoil.
    if (const merix::FunctionRow* row = merix::FindFunction(request.function);
        row == nullptr || row->reply != merix::ReplyLayout::kNone) {
        out.fault = slot.faults.Next(request.function);
    }
    const FaultKind kind = out.fault ? out.fault->kind : FaultKind::NoReply;
    const bool refused =
        out.fault && (kind == FaultKind::Exception || kind == FaultKind::RefusePoll);
    const bool lost = out.fault && kind == FaultKind::LostRequest;
    std::vector<uint8_t> reply;
    if (refused) {
        // A refusal: the station does not act on the request.
        reply = BuildException(request.station, request.function, RefusalCode(*out.fault));
    } else if (!lost) {
        reply = BuildReply(request.station, slot.station.Execute(request, false, now));
    }
    if (out.fault && !refused && !lost) {
        FaultedReply faulted =
            ApplyFault(*out.fault, std::move(reply), request.station, slot.faults.Random());
        reply = std::move(faulted.bytes);
        out.delay = faulted.delay;
    }
    if (out.fault) {
        const auto k = static_cast<size_t>(kind);
        ++counters_.faults;
        ++counters_.faultsByKind[k];
        ++slot.counters.faults;
        ++slot.counters.faultsByKind[k];
    }
    return reply;
}

void Simulator::SendPaced(const Outgoing& out) {
    const size_t n = out.bytes.size();
    size_t sent = 0;
    if (!line_.pacing) {
        // At once, but not before the request has left the line and the silence that ends it:
        // no station answers sooner, and a pseudo-terminal hands the request over in no time.
        if (SleepUntil(out.start)) {
            sent = endpoint_->Write(out.bytes.data(), n, kWriteRoom);
            Tap(out.bytes.data(), sent);
        }
    } else {
        // Each byte is released when it has fully left the line, on absolute deadlines, so
        // that sleeping late for one byte does not stretch the whole frame.
        for (size_t i = 0; i < n;) {
            if (!SleepUntil(timing_.ByteDeadline(out.start, i))) {
                break;
            }
            const auto now = Clock::now();
            size_t end = i + 1;
            while (end < n && timing_.ByteDeadline(out.start, end) <= now) {
                ++end;
            }
            const size_t written = endpoint_->Write(out.bytes.data() + i, end - i, kWriteRoom);
            Tap(out.bytes.data() + i, written);
            sent += written;
            if (written < end - i) {
                break;
            }
            i = end;
        }
    }
    std::lock_guard lock(mutex_);
    ++counters_.replies;
    if (Slot* slot = Find(out.station)) {
        ++slot->counters.replies;
    }
    std::string note;
    if (sent < n) {
        note = "line blocked or stopped: " + std::to_string(sent) + " of " + std::to_string(n) +
               " bytes sent";
    }
    trace_.Sent(std::span(out.bytes.data(), sent), note);
    Notify();
}

void Simulator::FireEvents(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    while (!scheduled_.empty() && scheduled_.begin()->first <= now) {
        const Scheduled event = scheduled_.begin()->second;
        scheduled_.erase(scheduled_.begin());
        if (Slot* slot = Find(event.station)) {
            GenerateLocked(*slot, event.number, event.value, now);
        }
    }
    for (auto& slot : slots_) {
        if (!slot || !(slot->eventRate > 0.0)) {
            continue;
        }
        const uint16_t gates = slot->station.Events().Gates();
        int burst = 0;
        while (gates > 0 && slot->nextRandomEvent <= now && burst++ < kMaxCatchUp) {
            const auto number = static_cast<uint16_t>(slot->eventRng.Below(gates));
            GenerateLocked(*slot, number, !slot->station.Events().State(number), now);
            slot->nextRandomEvent = NextRandomTime(*slot, slot->nextRandomEvent);
        }
        if (slot->nextRandomEvent <= now) {
            slot->nextRandomEvent = NextRandomTime(*slot, now);
        }
    }
}

void Simulator::GenerateLocked(Slot& slot, uint16_t number, bool value, Clock::time_point now) {
    const auto event = slot.station.GenerateEvent(number, value, now);
    if (!event) {
        return;
    }
    slot.generated.push_back(*event);
    Trim(slot.generated, historyLimit_);
    if (trace_.Enabled()) {
        trace_.Note("event st " + std::to_string(slot.station.Config().address) + " #" +
                    std::to_string(number) + "=" + std::to_string(event->value) + " at " +
                    event->time.ToString() + (event->buffered ? "" : " LOST: buffer full"));
    }
    Notify();
}

} // namespace h51sim
