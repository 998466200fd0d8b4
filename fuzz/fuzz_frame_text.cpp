// Fuzz target: the trace's decoder, which describes whatever bytes came over the line.
//
// Input layout:
//   byte 0     the text buffer's capacity: 0 to 255 bytes, or 4096 when the byte is 255
//   then       a frame, described both as a request and as a reply, and its head measured
//              as a request's
//
// The buffer lies in memory of exactly its capacity, so that a byte written past it is
// AddressSanitizer's to see; the text must end within it, terminated.
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "fuzz/fuzz_check.h"
#include "serial/frame_text.h"

namespace {

void CheckText(const merix::TextBuffer& out, const char* data, std::size_t capacity) {
    if (capacity == 0) {
        FUZZ_CHECK(out.Size() == 0);
        return;
    }
    FUZZ_CHECK(out.Size() < capacity);
    FUZZ_CHECK(data[out.Size()] == '\0');
    FUZZ_CHECK(std::strlen(data) <= out.Size()); // a NUL of the frame's own may come before
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t capacity = data[0] == 0xFF ? 4096 : data[0];
    const std::span<const uint8_t> frame(data + 1, size - 1);
    const auto storage = std::make_unique<char[]>(capacity > 0 ? capacity : 1);
    merix::TextBuffer out(storage.get(), capacity);

    merix::DescribeRequest(out, frame);
    CheckText(out, storage.get(), capacity);
    out.Clear();
    merix::DescribeReply(out, frame);
    CheckText(out, storage.get(), capacity);
    out.Clear();
    merix::AppendHex(out, frame);
    CheckText(out, storage.get(), capacity);

    if (const auto length = merix::ExpectedRequestLength(frame)) {
        // Station, function, CRC at least; at most the furthest byte count (at 10) and 255.
        FUZZ_CHECK(*length >= 4 && *length <= 10 + 1 + 255 + 2);
    }
    return 0;
}
