// Cuts what a listener hears on a line into frames, and tells requests from replies. A wire
// ends each frame with a silence of 3.5 characters; a pseudo-terminal or a device server
// hands bytes over in chunks and keeps no such silence, so a frame also ends where its head
// says it ends and its CRC agrees (the lengths from the one table of functions). A reply is a
// frame from the station, with the function, that the last request awaiting a reply named.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace merixhost {

struct HeardFrame {
    std::vector<uint8_t> bytes;
    int64_t firstUs = 0; ///< when its first byte was on the line
    int64_t lastUs = 0;  ///< when its last byte was
    bool request = true;
    bool crcOk = false;
    /// Ended by silence before the length its head announced: a frame cut short.
    bool cutShort = false;
    /// As long as its head announced, or of a function whose length is not known.
    bool lengthOk = true;
};

class FrameCutter {
public:
    /// `charUs`: one character's time on the wire; `silenceUs`: the silence that ends a frame.
    FrameCutter(double charUs, int64_t silenceUs) : charUs_(charUs), silenceUs_(silenceUs) {}

    /// Bytes a read brought back at `atUs`: the last of them arrived then, each before it one
    /// character earlier. Frames that end go to `out`.
    void Push(std::span<const uint8_t> bytes, int64_t atUs, std::vector<HeardFrame>& out);
    /// Nothing came up to `nowUs`: a frame whose last byte is a silence old ends.
    void Idle(int64_t nowUs, std::vector<HeardFrame>& out);
    /// Whatever is pending ends now (the run is over).
    void Flush(std::vector<HeardFrame>& out);

    /// The last request awaits a reply from this station (0: none awaited).
    uint8_t AwaitedStation() const { return awaited_ ? awaited_->station : 0; }
    /// A reply is no longer awaited: the master gave up on it.
    void StopAwaiting() { awaited_.reset(); }

private:
    struct Awaited {
        uint8_t station;
        uint8_t function;
    };

    /// A frame's role and its length, CRC included.
    struct Fit {
        bool request;
        std::size_t length;
    };

    /// `head` begins as the awaited reply would.
    bool IsReply(std::span<const uint8_t> head) const;
    /// The role and length that `head` announces and the CRC there confirms: the awaited
    /// reply, else a request (the master asking again instead of a reply).
    std::optional<Fit> Confirmed(std::span<const uint8_t> head) const;
    /// The length `head` announces in that role.
    std::optional<std::size_t> Announced(bool request, std::span<const uint8_t> head) const;
    /// True when `more` completes the pending frame, by its length and CRC: then it is one
    /// frame, however late the reads brought its bytes.
    bool CompletedBy(std::span<const uint8_t> more) const;
    /// Cuts the frames that their length and CRC end.
    void CutByLength(std::vector<HeardFrame>& out);
    /// Cuts the first `n` pending bytes as a frame of that role.
    void Cut(std::size_t n, bool request, bool bySilence, std::vector<HeardFrame>& out);
    /// The line fell silent: all that is pending is one frame.
    void CutBySilence(std::vector<HeardFrame>& out);

    double charUs_;
    int64_t silenceUs_;
    std::vector<uint8_t> bytes_;
    std::vector<int64_t> times_;
    std::optional<Awaited> awaited_;
};

} // namespace merixhost
