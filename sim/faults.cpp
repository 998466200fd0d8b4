#include "sim/faults.h"

#include "serial/protocol.h"

#include <algorithm>
#include <array>
#include <utility>

#include "serial/protocol.h"
#include "sim/reply.h"

namespace h51sim {

namespace {} // namespace

std::string_view FaultKindName(FaultKind kind) {
    for (const auto& [k, name] : kFaultKindNames) {
        if (k == kind) {
            return name;
        }
    }
    return "?";
}

std::string FaultKindList() {
    std::string out;
    for (const auto& [kind, name] : kFaultKindNames) {
        out += (out.empty() ? "" : ", ") + std::string(name);
    }
    return out;
}

std::string DescribeFaultCounts(const std::array<uint64_t, kFaultKinds>& byKind) {
    std::string out;
    for (const auto& [kind, name] : kFaultKindNames) {
        const uint64_t n = byKind[static_cast<size_t>(kind)];
        if (n != 0) {
            out += (out.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(n);
        }
    }
    return out.empty() ? "none" : out;
}

std::optional<FaultKind> ParseFaultKind(std::string_view name) {
    for (const auto& [k, n] : kFaultKindNames) {
        if (n == name) {
            return k;
        }
    }
    return std::nullopt;
}

bool FaultApplies(const Fault& fault, uint8_t function) {
    return fault.kind != FaultKind::RefusePoll || function == merix::kEventNext;
}

uint8_t RefusalCode(const Fault& fault) {
    if (fault.kind == FaultKind::RefusePoll && fault.param == 0) {
        return merix::kBusy;
    }
    return static_cast<uint8_t>(fault.param);
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
    case FaultKind::RefusePoll:
    case FaultKind::LostRequest:
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

std::optional<Fault> FaultPlan::Next(uint8_t function) {
    if (!script_.empty()) {
        const Fault f = script_.front().fault;
        if (!FaultApplies(f, function)) {
            return std::nullopt;
        }
        if (--script_.front().remaining == 0) {
            script_.pop_front();
        }
        return f;
    }
    for (const RandomRule& rule : random_) {
        if (FaultApplies(rule.fault, function) && rng_.Uniform() < rule.probability) {
            return rule.fault;
        }
    }
    return std::nullopt;
}

} // namespace h51sim
