// Fuzz target: the simulator's request parser. The input is one frame as it came off the line.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "serial/crc16.h"
#include "sim/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace h51sim;
    // An exactly sized copy: the parser must stay inside the frame it was given.
    std::vector<uint8_t> bytes(data, data + size);
    bytes.shrink_to_fit();
    const std::span<const uint8_t> frame(bytes);

    const ParseResult parsed = ParseRequest(frame);
    const std::optional<size_t> expected = ExpectedRequestLength(frame);
    if (parsed.ok()) {
        FUZZ_CHECK(size >= 4 && size <= kMaxRtuFrame);
        FUZZ_CHECK(merix::CrcMatches(frame.data(), static_cast<int>(size)));
        FUZZ_CHECK(parsed.request.station == frame[0]);
        FUZZ_CHECK(parsed.request.function == frame[1]);
        FUZZ_CHECK(parsed.request.data.size() == size - 4);
        FUZZ_CHECK(!expected || *expected == size);
    }
    // Every prefix of a frame is a head the framer may ask about while bytes arrive.
    for (size_t n = 0; n <= size && n <= kMaxRtuFrame; ++n) {
        const std::optional<size_t> fromHead = ExpectedRequestLength(frame.first(n));
        FUZZ_CHECK(!fromHead || !expected || *fromHead == *expected);
    }
    FUZZ_CHECK(!RequestErrorName(parsed.error).empty());
    FUZZ_CHECK(!FunctionName(size >= 2 ? frame[1] : 0).empty());
    return 0;
}
