// What a listener learns of a line that another master drives: each request paired with the
// reply that follows it, and per station what the master asked and how the station answered.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/console/frame_cutter.h"

namespace merixhost {

/// How a request heard on the line ended.
enum class HeardOutcome {
    kAnswered,   ///< a whole reply with a good CRC
    kException,  ///< an exception reply
    kSilence,    ///< no reply within the reply timeout
    kCrcBad,     ///< a reply whose CRC is wrong
    kCutShort,   ///< a reply that ended before its length
    kNotAwaited, ///< a broadcast or the clock: nobody answers
    kStray,      ///< a frame that answers no request heard, or a request that is no frame
};

/// A request and what followed it. `reply` is empty where none came.
struct Exchange {
    HeardFrame request;
    std::optional<HeardFrame> reply;
    HeardOutcome outcome = HeardOutcome::kAnswered;
    int64_t turnaroundUs = 0; ///< from the request's last byte to the reply's first
};

/// The first and last address a function touched.
struct AddressRange {
    uint32_t first = 0;
    uint32_t last = 0;
};

struct HeardStation {
    uint64_t requests = 0;
    uint64_t replies = 0;
    uint64_t exceptions = 0;
    uint64_t silences = 0;
    uint64_t crcBad = 0;
    uint64_t cutShort = 0;
    int64_t turnLastUs = 0;
    int64_t turnMinUs = 0;
    int64_t turnMaxUs = 0;
    int64_t turnSumUs = 0;
    uint64_t turnCount = 0;
    /// By function code: the addresses its requests named.
    std::map<uint8_t, std::optional<AddressRange>> functions;
    /// The time between two requests of the same function and addresses, over all of them.
    int64_t periodSumUs = 0;
    uint64_t periodCount = 0;

    bool Seen() const { return requests != 0; }
};

class SniffModel {
public:
    /// A request unanswered for `replyTimeoutUs` counts as answered by silence.
    explicit SniffModel(int64_t replyTimeoutUs) : replyTimeoutUs_(replyTimeoutUs) {}

    /// Where each exchange goes once it is complete (the trace, the capture, the report).
    void SetObserver(std::function<void(const Exchange&)> observer) {
        observer_ = std::move(observer);
    }

    void Heard(HeardFrame frame);
    /// Nothing came up to `nowUs`: a request older than the reply timeout was not answered.
    /// True when that ended a request (the cutter then awaits no reply any more).
    bool Idle(int64_t nowUs);
    /// The run is over: a request still waiting ends as silence.
    void Finish();

    /// Stations 1 to 31 at their numbers; entry 0 holds the broadcasts.
    const std::array<HeardStation, 32>& Stations() const { return stations_; }
    uint64_t Frames() const { return frames_; }
    uint64_t Strays() const { return strays_; }
    /// The bytes heard, to reckon the time the line was busy.
    uint64_t Bytes() const { return bytes_; }

private:
    void Complete(Exchange exchange);
    void CountRequest(const HeardFrame& request);
    void CountReply(HeardStation& station, const Exchange& exchange);

    int64_t replyTimeoutUs_;
    std::function<void(const Exchange&)> observer_;
    std::optional<HeardFrame> waiting_;
    std::array<HeardStation, 32> stations_{};
    /// The last time each request (station, function, address, count) was heard.
    std::map<std::vector<uint8_t>, int64_t> lastAsked_;
    uint64_t frames_ = 0;
    uint64_t strays_ = 0;
    uint64_t bytes_ = 0;
};

/// "03 read registers 100-119", "05 write coil 7", "41 event init": the functions a station
/// was asked and the addresses they named.
std::string FunctionsText(const HeardStation& station);

} // namespace merixhost
