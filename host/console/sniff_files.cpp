#include "host/console/sniff_files.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <fmt/format.h>

#include "serial/frame_text.h"
#include "serial/pcapng_blocks.h"

namespace merixhost {

namespace {

/// Room for the largest block: the headers, a whole RTU frame and a comment.
constexpr std::size_t kBlockRoom = 1024;

std::FILE* OpenFile(const std::string& path, const char* mode, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), mode);
    if (file == nullptr) {
        *error = fmt::format("cannot open {}: {}", path, std::strerror(errno));
    }
    return file;
}

std::string Decoded(const HeardFrame& frame, bool request) {
    merix::FixedText<1024> text;
    merix::AppendHex(text, frame.bytes);
    text.Append(" | ");
    request ? merix::DescribeRequest(text, frame.bytes) : merix::DescribeReply(text, frame.bytes);
    return std::string(text.View());
}

std::string WallText(uint64_t epochUs) {
    const auto seconds = static_cast<std::time_t>(epochUs / 1'000'000);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", local.tm_year + 1900,
                       local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

} // namespace

std::string OutcomeText(const Exchange& exchange) {
    switch (exchange.outcome) {
    case HeardOutcome::kAnswered:
        return "good";
    case HeardOutcome::kException:
        return fmt::format("exception {}",
                           exchange.reply->bytes.size() >= 3 ? exchange.reply->bytes[2] : 0);
    case HeardOutcome::kSilence:
        return "no reply";
    case HeardOutcome::kCrcBad:
        return "CRC BAD";
    case HeardOutcome::kCutShort:
        return "reply cut short";
    case HeardOutcome::kNotAwaited:
        return "sent, no reply awaited";
    case HeardOutcome::kStray:
        break;
    }
    return exchange.request.request ? "not a request: noise, or a frame cut short"
                                    : "answers no request heard";
}

SniffTrace::~SniffTrace() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool SniffTrace::Open(const std::string& path, const std::string& port, const std::string& settings,
                      const SniffClock& clock, std::string* error) {
    file_ = OpenFile(path, "a", error);
    clock_ = clock;
    if (file_ != nullptr) {
        std::fprintf(file_,
                     "# merixhost listening on port %s %s, transmitting nothing; started %s; "
                     "times in seconds since then\n",
                     port.c_str(), settings.c_str(), WallText(clock.startEpochUs).c_str());
    }
    return file_ != nullptr;
}

void SniffTrace::Line(int64_t us, const char* mark, const std::string& text) {
    const int64_t since = us - clock_.startUs;
    std::fprintf(file_, "%6lld.%06lld %s %s\n", static_cast<long long>(since / 1'000'000),
                 static_cast<long long>(since % 1'000'000), mark, text.c_str());
}

void SniffTrace::Write(const Exchange& exchange) {
    if (file_ == nullptr) {
        return;
    }
    const HeardFrame& first = exchange.request;
    Line(first.firstUs, first.request ? "TX" : "RX", Decoded(first, first.request));
    int64_t end = first.lastUs;
    if (exchange.reply) {
        const HeardFrame& reply = *exchange.reply;
        Line(reply.firstUs, "RX",
             fmt::format("{} | turnaround {:.2f} ms", Decoded(reply, false),
                         static_cast<double>(exchange.turnaroundUs) / 1000.0));
        end = reply.lastUs;
    }
    Line(end, "--", OutcomeText(exchange));
}

bool SniffTrace::Flush() {
    if (file_ != nullptr && (std::fflush(file_) != 0 || std::ferror(file_) != 0)) {
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

SniffCapture::~SniffCapture() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool SniffCapture::Open(const std::string& path, const std::string& port,
                        const std::string& settings, const SniffClock& clock, std::string* error) {
    file_ = OpenFile(path, "wb", error);
    clock_ = clock;
    if (file_ == nullptr) {
        return false;
    }
    std::array<uint8_t, kBlockRoom> block{};
    std::size_t n = merix::pcapng::SectionHeader(block, "merixhost line listener");
    std::fwrite(block.data(), 1, n, file_);
    // The dissector decodes the interfaces whose description merix wrote.
    n = merix::pcapng::Interface(block, port,
                                 "merix listener: " + settings + ", transmitting nothing");
    std::fwrite(block.data(), 1, n, file_);
    return true;
}

void SniffCapture::Packet(const HeardFrame& frame, bool request, const std::string& comment) {
    std::array<uint8_t, kBlockRoom> block{};
    const int64_t since = frame.firstUs - clock_.startUs;
    const uint64_t at = clock_.startEpochUs + static_cast<uint64_t>(since < 0 ? 0 : since);
    const std::size_t n = merix::pcapng::Packet(
        block, 0, at, request ? merix::LineEvent::kRequest : merix::LineEvent::kReply, frame.bytes,
        comment);
    failed_ = failed_ || n == 0 || std::fwrite(block.data(), 1, n, file_) != n;
}

void SniffCapture::Write(const Exchange& exchange) {
    if (file_ == nullptr) {
        return;
    }
    const HeardFrame& first = exchange.request;
    const bool plain = exchange.outcome == HeardOutcome::kAnswered ||
                       exchange.outcome == HeardOutcome::kException ||
                       exchange.outcome == HeardOutcome::kNotAwaited;
    Packet(first, first.request,
           exchange.reply || plain ? (first.crcOk ? "" : "CRC BAD") : OutcomeText(exchange));
    if (exchange.reply) {
        Packet(*exchange.reply, false, plain ? "" : OutcomeText(exchange));
    }
}

bool SniffCapture::Flush() {
    if (file_ != nullptr && (failed_ || std::fflush(file_) != 0)) {
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

} // namespace merixhost
