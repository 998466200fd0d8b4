#include "host/console/sniff_model.h"

#include <algorithm>

#include <fmt/format.h>

#include "serial/frame_text.h"
#include "serial/function_table.h"
#include "serial/protocol.h"

namespace merixhost {

namespace {

/// Station, function and the CRC around a request's data.
constexpr std::size_t kFrameOverhead = 4;
/// The distinct requests whose last time is kept for the master's period.
constexpr std::size_t kMaxRequestsRemembered = 4096;

bool AwaitsReply(const HeardFrame& request) {
    if (request.bytes[0] == merix::kBroadcastStation) {
        return false;
    }
    const merix::FunctionRow* row = merix::FindFunction(request.bytes[1]);
    return row == nullptr || row->reply != merix::ReplyLayout::kNone;
}

/// The addresses a request of a gate function names; nullopt for the others.
std::optional<AddressRange> AddressesOf(const HeardFrame& request) {
    const merix::FunctionRow* row = merix::FindFunction(request.bytes[1]);
    if (row == nullptr || request.bytes.size() != kFrameOverhead + 4) {
        return std::nullopt;
    }
    const std::span<const uint8_t> data = std::span(request.bytes).subspan(2, 4);
    const merix::RequestFields f = merix::DecodeRequestFields(*row, data);
    if (row->request == merix::RequestLayout::kAddressCount && f.count > 0) {
        return AddressRange{f.address, f.address + f.count - 1u};
    }
    if (row->request == merix::RequestLayout::kAddressValue) {
        return AddressRange{f.address, f.address};
    }
    return std::nullopt;
}

HeardOutcome OutcomeOf(const HeardFrame& reply) {
    if (reply.cutShort) {
        return HeardOutcome::kCutShort;
    }
    if (!reply.crcOk || !reply.lengthOk) {
        return HeardOutcome::kCrcBad;
    }
    return (reply.bytes[1] & merix::kExceptionBit) != 0 ? HeardOutcome::kException
                                                        : HeardOutcome::kAnswered;
}

} // namespace

void SniffModel::Heard(HeardFrame frame) {
    ++frames_;
    bytes_ += frame.bytes.size();
    if (frame.request) {
        if (waiting_) {
            // The master asked again or moved on: its last request had no reply.
            Complete(Exchange{std::move(*waiting_), std::nullopt, HeardOutcome::kSilence, 0});
            waiting_.reset();
        }
        if (!frame.crcOk || !frame.lengthOk || frame.bytes[0] >= stations_.size()) {
            Complete(Exchange{std::move(frame), std::nullopt, HeardOutcome::kStray, 0});
            return;
        }
        CountRequest(frame);
        if (AwaitsReply(frame)) {
            waiting_ = std::move(frame);
        } else {
            Complete(Exchange{std::move(frame), std::nullopt, HeardOutcome::kNotAwaited, 0});
        }
        return;
    }
    if (!waiting_) {
        Complete(Exchange{std::move(frame), std::nullopt, HeardOutcome::kStray, 0});
        return;
    }
    Exchange exchange{std::move(*waiting_), std::move(frame), HeardOutcome::kAnswered, 0};
    waiting_.reset();
    exchange.outcome = OutcomeOf(*exchange.reply);
    exchange.turnaroundUs = exchange.reply->firstUs - exchange.request.lastUs;
    Complete(std::move(exchange));
}

bool SniffModel::Idle(int64_t nowUs) {
    if (!waiting_ || nowUs - waiting_->lastUs <= replyTimeoutUs_) {
        return false;
    }
    Complete(Exchange{std::move(*waiting_), std::nullopt, HeardOutcome::kSilence, 0});
    waiting_.reset();
    return true;
}

void SniffModel::Finish() {
    if (waiting_) {
        Complete(Exchange{std::move(*waiting_), std::nullopt, HeardOutcome::kSilence, 0});
        waiting_.reset();
    }
}

void SniffModel::CountRequest(const HeardFrame& request) {
    HeardStation& station = stations_[request.bytes[0]];
    ++station.requests;
    const uint8_t function = request.bytes[1];
    const std::optional<AddressRange> addresses = AddressesOf(request);
    auto [entry, added] = station.functions.try_emplace(function, addresses);
    if (!added && addresses) {
        AddressRange& range = entry->second ? *entry->second : entry->second.emplace(*addresses);
        range.first = std::min(range.first, addresses->first);
        range.last = std::max(range.last, addresses->last);
    }
    // The same request again is the master's next round: the time between is its period. A
    // write's value is no part of what it asks; a line of ever new requests keeps a bounded
    // memory of them.
    const merix::FunctionRow* row = merix::FindFunction(function);
    const std::size_t keyLength =
        row != nullptr && row->request == merix::RequestLayout::kAddressValue
            ? 4
            : request.bytes.size() - 2;
    std::vector<uint8_t> key(request.bytes.begin(),
                             request.bytes.begin() + static_cast<std::ptrdiff_t>(keyLength));
    if (lastAsked_.size() >= kMaxRequestsRemembered && lastAsked_.count(key) == 0) {
        lastAsked_.clear();
    }
    auto [last, first] = lastAsked_.try_emplace(std::move(key), request.firstUs);
    if (!first) {
        station.periodSumUs += request.firstUs - last->second;
        ++station.periodCount;
        last->second = request.firstUs;
    }
}

void SniffModel::CountReply(HeardStation& station, const Exchange& exchange) {
    switch (exchange.outcome) {
    case HeardOutcome::kException:
        ++station.exceptions;
        [[fallthrough]];
    case HeardOutcome::kAnswered: {
        ++station.replies;
        const int64_t turn = exchange.turnaroundUs;
        station.turnLastUs = turn;
        station.turnMinUs = station.turnCount == 0 ? turn : std::min(station.turnMinUs, turn);
        station.turnMaxUs = std::max(station.turnMaxUs, turn);
        station.turnSumUs += turn;
        ++station.turnCount;
        break;
    }
    case HeardOutcome::kSilence:
        ++station.silences;
        break;
    case HeardOutcome::kCrcBad:
        ++station.crcBad;
        break;
    case HeardOutcome::kCutShort:
        ++station.cutShort;
        break;
    case HeardOutcome::kNotAwaited:
    case HeardOutcome::kStray:
        break;
    }
}

void SniffModel::Complete(Exchange exchange) {
    if (exchange.outcome == HeardOutcome::kStray) {
        ++strays_;
    } else {
        CountReply(stations_[exchange.request.bytes[0]], exchange);
    }
    if (observer_) {
        observer_(exchange);
    }
}

std::string FunctionsText(const HeardStation& station) {
    std::string text;
    for (const auto& [code, range] : station.functions) {
        const std::string_view name = merix::FunctionName(code);
        text += fmt::format("{}{:02X} {}", text.empty() ? "" : ", ", code, name);
        if (range) {
            text += range->first == range->last ? fmt::format(" {}", range->first)
                                                : fmt::format(" {}-{}", range->first, range->last);
        }
    }
    return text;
}

} // namespace merixhost
