#include "sim/faults.h"

#include <algorithm>
#include <array>
#include <utility>

#include "sim/reply.h"

namespace h51sim {

namespace {

constexpr std::array<std::pair<FaultKind, std::string_view>, 7> kNames{{
    {FaultKind::NoReply, "no_reply"},
    {FaultKind::BadCrc, "bad_crc"},
    {FaultKind::Truncated, "truncated"},
    {FaultKind::WrongStation, "wrong_station"},
    {FaultKind::Exception, "exception"},
    {FaultKind::Late, "late"},
    {FaultKind::Noise, "noise"},
}};

} // namespace

std::string_view FaultKindName(FaultKind kind) {
    for (const auto& [k, name] : kNames) {
        if (k == kind) {
            return name;
        }
    }
    return "?";
}

std::optional<FaultKind> ParseFaultKind(std::string_view name) {
    for (const auto& [k, n] : kNames) {
        if (n == name) {
            return k;
        }
    }
    return std::nullopt;
}

FaultedReply ApplyFault(const Fault& fault, std::vector<uint8_t> frame, uint8_t station, Rng& rng) {
    FaultedReply out;
    switch (fault.kind) {
    case FaultKind::NoReply:
        frame.clear();
        break;
    case FaultKind::BadCrc:
        if (!frame.empty()) {
            frame.back() ^= 0x5A;
        }
        break;
    case FaultKind::Truncated: {
        size_t keep = fault.param > 0 ? static_cast<size_t>(fault.param) : frame.size() / 2;
        if (keep >= frame.size()) {
            // A "short" reply must be short: at least the last byte goes missing.
            keep = frame.empty() ? 0 : frame.size() - 1;
        }
        frame.resize(std::max<size_t>(keep, frame.empty() ? 0 : 1));
        break;
    }
    case FaultKind::WrongStation:
        if (frame.size() >= 3) {
            frame[0] = fault.param > 0 ? static_cast<uint8_t>(fault.param)
                                       : static_cast<uint8_t>(station % 31 + 1);
            frame.resize(frame.size() - 2);
            AppendCrc(frame);
        }
        break;
    case FaultKind::Exception:
        break;
    case FaultKind::Late:
        out.delay = std::chrono::milliseconds(std::max(fault.param, 0));
        break;
    case FaultKind::Noise: {
        const int n = fault.param > 0 ? std::min(fault.param, 256) : 3;
        std::vector<uint8_t> noisy;
        noisy.reserve(frame.size() + static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            noisy.push_back(static_cast<uint8_t>(rng.Next() & 0xFF));
        }
        noisy.insert(noisy.end(), frame.begin(), frame.end());
        frame = std::move(noisy);
        break;
    }
    }
    out.bytes = std::move(frame);
    return out;
}

void FaultPlan::Script(const Fault& fault, unsigned count) {
    if (count > 0) {
        script_.push_back(ScriptEntry{fault, count});
    }
}

void FaultPlan::AddRandom(const Fault& fault, double probability) {
    random_.push_back(RandomRule{fault, probability});
}

void FaultPlan::Clear() {
    script_.clear();
    random_.clear();
}

std::optional<Fault> FaultPlan::Next() {
    if (!script_.empty()) {
        const Fault f = script_.front().fault;
        if (--script_.front().remaining == 0) {
            script_.pop_front();
        }
        return f;
    }
    for (const RandomRule& rule : random_) {
        if (rng_.Uniform() < rule.probability) {
            return rule.fault;
        }
    }
    return std::nullopt;
}

} // namespace h51sim
