#include "host/console/run_report.h"

#include <algorithm>
#include <cmath>

namespace merixhost {
namespace {
constexpr double kIntervalSlack = 0.05;
}

std::string_view FailureName(FailureKind kind) {
    switch (kind) {
    case FailureKind::kSilence:
        return "no reply";
    case FailureKind::kCrc:
        return "bad CRC";
    case FailureKind::kWrong:
        return "wrong reply";
    case FailureKind::kException:
        return "exception";
    case FailureKind::kShort:
        return "cut short";
    case FailureKind::kEcho:
        return "echo";
    }
    return "?";
}

void ReportInterval::Add(const ReportInterval& other) {
    successes += other.successes;
    for (size_t k = 0; k < kFailureKinds; ++k) {
        failures[k] += other.failures[k];
    }
    events += other.events;
    wireSeconds += other.wireSeconds;
    if (other.turnarounds > 0) {
        turnaroundMin =
            turnarounds > 0 ? std::min(turnaroundMin, other.turnaroundMin) : other.turnaroundMin;
        turnaroundMax =
            turnarounds > 0 ? std::max(turnaroundMax, other.turnaroundMax) : other.turnaroundMax;
        turnaroundSum += other.turnaroundSum;
        turnarounds += other.turnarounds;
    }
}

std::optional<double> ReportInterval::TurnaroundMean() const {
    if (turnarounds == 0) {
        return std::nullopt;
    }
    return turnaroundSum / turnarounds;
}

uint64_t ReportInterval::Failures() const {
    uint64_t sum = 0;
    for (const uint64_t f : failures) {
        sum += f;
    }
    return sum;
}

double ReportIntervalSeconds(double seconds, int target, double width) {
    const double wanted = std::max(1.0, std::ceil(seconds / std::max(target, 1)));
    return width * std::ceil(wanted / width);
}

ReportInterval& ReportRecorder::Series::At(double seconds) {
    auto index = static_cast<size_t>(std::max(0.0, seconds) / width_);
    while (index >= kMaxBuckets) {
        for (size_t i = 0; i < buckets_.size(); ++i) {
            if (i % 2 == 0) {
                buckets_[i / 2] = buckets_[i];
            } else {
                buckets_[i / 2].Add(buckets_[i]);
            }
        }
        buckets_.resize((buckets_.size() + 1) / 2);
        width_ *= 2;
        index /= 2;
    }
    if (index >= buckets_.size()) {
        buckets_.resize(index + 1);
    }
    return buckets_[index];
}

std::vector<ReportInterval> ReportRecorder::Series::Intervals(double interval, size_t count) const {
    std::vector<ReportInterval> out(std::max<size_t>(count, 1));
    const auto perInterval = static_cast<size_t>(std::max(1.0, std::round(interval / width_)));
    for (size_t j = 0; j < buckets_.size(); ++j) {
        out[std::min(j / perInterval, out.size() - 1)].Add(buckets_[j]);
    }
    return out;
}

void ReportRecorder::Start(SystemTime wallStart, SteadyTime start, ReportLine line) {
    *this = ReportRecorder();
    wallStart_ = wallStart;
    start_ = start;
    line_ = std::move(line);
}

double ReportRecorder::Since(SteadyTime at) const {
    return std::chrono::duration<double>(at - start_).count();
}

ReportInterval* ReportRecorder::Station(int station, SteadyTime at) {
    if (station < 1 || station > kMaxStation) {
        return nullptr;
    }
    return &stations_[station].At(Since(at));
}

void ReportRecorder::Turnaround(int station, SteadyTime at, double ms) {
    ReportInterval sample;
    sample.turnarounds = 1;
    sample.turnaroundMin = sample.turnaroundMax = sample.turnaroundSum = ms;
    if (ReportInterval* in = Station(station, at); in != nullptr && std::isfinite(ms)) {
        in->Add(sample);
    }
}

void ReportRecorder::Failures(int station, SteadyTime at, FailureKind kind, uint32_t count) {
    if (ReportInterval* in = Station(station, at); in != nullptr && count > 0) {
        in->failures[static_cast<size_t>(kind)] += count;
    }
}

void ReportRecorder::Successes(int station, SteadyTime at, uint32_t count) {
    if (ReportInterval* in = Station(station, at); in != nullptr && count > 0) {
        in->successes += count;
    }
}

void ReportRecorder::Events(int station, SteadyTime at, uint32_t count) {
    if (ReportInterval* in = Station(station, at); in != nullptr && count > 0) {
        in->events += count;
    }
}

void ReportRecorder::WireTime(SteadyTime at, double seconds) {
    if (std::isfinite(seconds) && seconds > 0) {
        wire_.At(Since(at)).wireSeconds += seconds;
    }
}

void ReportRecorder::Counters(int station, NamedCounters counters) {
    if (station >= 0 && station <= kMaxStation) {
        counters_[station] = std::move(counters);
    }
}

void ReportRecorder::Note(SystemTime at, std::string kind, std::string text) {
    notes_.push_back({at, std::move(kind), std::move(text)});
    if (notes_.size() > kMaxNotes) {
        notes_.pop_front();
        ++notesLeftOut_;
    }
}

RunReport ReportRecorder::Finish(SteadyTime end) const {
    RunReport r;
    r.line = line_;
    r.wallStart = wallStart_;
    r.seconds = std::max(0.0, Since(end));
    // The width every series has reached, or would have by the run's end.
    double width = 1;
    while (r.seconds / width >= static_cast<double>(kMaxBuckets)) {
        width *= 2;
    }
    r.intervalSeconds = ReportIntervalSeconds(r.seconds, kTargetIntervals, width);
    // A run stopped a few milliseconds past a whole interval has those in its last one.
    const auto count = static_cast<size_t>(
        std::max(1.0, std::ceil(r.seconds / r.intervalSeconds - kIntervalSlack)));
    for (const auto& wire : wire_.Intervals(r.intervalSeconds, count)) {
        r.wireSeconds.push_back(wire.wireSeconds);
        r.wireTotal += wire.wireSeconds;
    }
    r.occupancyEstimated = estimated_;
    std::map<int, StationReport> stations;
    for (const auto& [station, series] : stations_) {
        StationReport& s = stations[station];
        s.intervals = series.Intervals(r.intervalSeconds, count);
        for (const auto& in : s.intervals) {
            s.total.Add(in);
        }
    }
    for (const auto& [station, counters] : counters_) {
        if (station == 0) {
            r.lineCounters = counters;
        } else {
            StationReport& s = stations[station];
            s.counters = counters;
            if (s.intervals.empty()) {
                s.intervals.resize(count);
            }
        }
    }
    for (auto& [station, s] : stations) {
        s.station = station;
        r.stations.push_back(std::move(s));
    }
    r.notes.assign(notes_.begin(), notes_.end());
    r.notesLeftOut = notesLeftOut_;
    return r;
}

} // namespace merixhost
