#include "host/console/frame_cutter.h"

#include <algorithm>

#include "serial/crc16.h"
#include "serial/function_table.h"
#include "serial/protocol.h"

namespace merixhost {

namespace {

/// The shortest frame: station, function and the CRC.
constexpr std::size_t kMinFrame = 4;

bool CrcOk(std::span<const uint8_t> frame) {
    return frame.size() >= kMinFrame &&
           merix::CrcMatches(frame.data(), static_cast<int>(frame.size()));
}

/// A request that some station answers: not a broadcast, not the clock.
bool AwaitsReply(std::span<const uint8_t> frame) {
    if (frame.size() < 2 || frame[0] == merix::kBroadcastStation) {
        return false;
    }
    const merix::FunctionRow* row = merix::FindFunction(frame[1]);
    return row == nullptr || row->reply != merix::ReplyLayout::kNone;
}

} // namespace

void FrameCutter::Push(std::span<const uint8_t> bytes, int64_t atUs, std::vector<HeardFrame>& out) {
    if (bytes.empty()) {
        return;
    }
    const auto chunkUs = static_cast<int64_t>(static_cast<double>(bytes.size() - 1) * charUs_);
    // A read that came late brings bytes that arrived earlier than it can tell: a silence
    // before them is only one where they do not complete the frame pending.
    if (!times_.empty() && atUs - chunkUs - times_.back() >= silenceUs_ && !CompletedBy(bytes)) {
        CutBySilence(out);
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto before = static_cast<double>(bytes.size() - 1 - i) * charUs_;
        const int64_t at = atUs - static_cast<int64_t>(before);
        times_.push_back(times_.empty() ? at : std::max(at, times_.back()));
        bytes_.push_back(bytes[i]);
        CutByLength(out);
    }
}

void FrameCutter::Idle(int64_t nowUs, std::vector<HeardFrame>& out) {
    if (!times_.empty() && nowUs - times_.back() >= silenceUs_) {
        CutBySilence(out);
    }
}

void FrameCutter::Flush(std::vector<HeardFrame>& out) {
    CutBySilence(out);
}

bool FrameCutter::IsReply(std::span<const uint8_t> head) const {
    return awaited_ && head.size() >= 2 && head[0] == awaited_->station &&
           (head[1] & ~merix::kExceptionBit) == awaited_->function;
}

std::optional<std::size_t> FrameCutter::Announced(bool request,
                                                  std::span<const uint8_t> head) const {
    return request ? merix::ExpectedRequestLength(head)
                   : merix::ExpectedReplyLength(awaited_->function, head);
}

std::optional<FrameCutter::Fit> FrameCutter::Confirmed(std::span<const uint8_t> head) const {
    const auto fits = [&](std::optional<std::size_t> length) {
        return length && *length <= head.size() && CrcOk(head.first(*length));
    };
    if (IsReply(head)) {
        if (const auto length = Announced(false, head); fits(length)) {
            return Fit{false, *length};
        }
    }
    if (const auto length = Announced(true, head); fits(length)) {
        return Fit{true, *length};
    }
    return std::nullopt;
}

bool FrameCutter::CompletedBy(std::span<const uint8_t> more) const {
    std::vector<uint8_t> joined(bytes_);
    joined.insert(joined.end(), more.begin(), more.end());
    const std::optional<Fit> fit = Confirmed(joined);
    return fit && fit->length > bytes_.size();
}

void FrameCutter::CutByLength(std::vector<HeardFrame>& out) {
    if (bytes_.size() >= merix::kMaxRtuFrame) {
        CutBySilence(out); // no frame is longer: noise, or a line at another rate
        return;
    }
    // A length that the CRC does not confirm may be noise in the head: the silence decides.
    if (const std::optional<Fit> fit = Confirmed(bytes_)) {
        Cut(fit->length, fit->request, false, out);
    }
}

void FrameCutter::CutBySilence(std::vector<HeardFrame>& out) {
    if (bytes_.empty()) {
        return;
    }
    const std::optional<Fit> fit = Confirmed(bytes_);
    const bool request = fit && fit->length == bytes_.size() ? fit->request : !IsReply(bytes_);
    Cut(bytes_.size(), request, true, out);
}

void FrameCutter::Cut(std::size_t n, bool request, bool bySilence, std::vector<HeardFrame>& out) {
    HeardFrame frame;
    frame.request = request;
    const std::optional<std::size_t> announced = Announced(request, bytes_);
    frame.bytes.assign(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
    frame.firstUs = times_.front();
    frame.lastUs = times_[n - 1];
    frame.crcOk = CrcOk(frame.bytes);
    frame.cutShort = bySilence && (announced ? n < *announced : n < kMinFrame);
    frame.lengthOk = announced ? n == *announced : n >= kMinFrame;
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
    times_.erase(times_.begin(), times_.begin() + static_cast<std::ptrdiff_t>(n));
    awaited_.reset();
    if (frame.request && frame.crcOk && frame.lengthOk && AwaitsReply(frame.bytes)) {
        awaited_ = Awaited{frame.bytes[0], frame.bytes[1]};
    }
    out.push_back(std::move(frame));
}

} // namespace merixhost
