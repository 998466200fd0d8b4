// Fuzz target: the Telnet side of an RFC 2217 port, which takes whatever a server on the
// network sends.
//
// Input: bytes from the server, fed to the decoder one at a time, every negotiation answered
// as the port answers it. Checks: a subnegotiation never exceeds its room; and the data bytes
// survive the client's own encoding, decoded back unchanged.
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/telnet_codec.h"

using namespace merix::plat::telnet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Decoder decoder;
    Negotiation negotiation;
    std::vector<uint8_t> received;
    for (size_t i = 0; i < size; ++i) {
        switch (decoder.Feed(data[i])) {
        case Event::kData:
            received.push_back(decoder.Data());
            break;
        case Event::kNegotiation: {
            const uint8_t answer = negotiation.Answer(decoder.Verb(), decoder.Option());
            FUZZ_CHECK(answer == 0 || (answer >= kWill && answer <= kDont));
            break;
        }
        case Event::kSubnegotiation:
            FUZZ_CHECK(!decoder.Sub().empty() && decoder.Sub().size() <= Decoder::kSubRoom);
            break;
        case Event::kNone:
            break;
        }
    }
    // What the client sends, the server takes apart alike: every 0xFF doubled, nothing else.
    std::vector<uint8_t> encoded(2 * received.size());
    const size_t n = EncodeData(received, encoded);
    FUZZ_CHECK(n >= received.size() || received.empty());
    Decoder back;
    std::vector<uint8_t> decoded;
    for (size_t i = 0; i < n; ++i) {
        const Event event = back.Feed(encoded[i]);
        FUZZ_CHECK(event == Event::kData || event == Event::kNone);
        if (event == Event::kData) {
            decoded.push_back(back.Data());
        }
    }
    FUZZ_CHECK(decoded == received);
    return 0;
}
