#include "sim/reply.h"

#include <algorithm>

#include "serial/crc16.h"
#include "serial/function_table.h"

namespace h51sim {

void AppendCrc(std::vector<uint8_t>& frame) {
    const uint16_t crc = merix::Crc16(frame.data(), static_cast<int>(frame.size()));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
}

std::vector<uint8_t> BuildException(uint8_t station, uint8_t function, uint8_t code) {
    std::vector<uint8_t> frame{station, static_cast<uint8_t>(function | merix::kExceptionBit),
                               code};
    AppendCrc(frame);
    return frame;
}

std::vector<uint8_t> BuildReply(uint8_t station, const Response& response) {
    std::vector<uint8_t> frame;
    switch (response.kind) {
    case Response::Kind::None:
        return frame;
    case Response::Kind::Exception:
        return BuildException(station, response.function, response.exceptionCode);
    case Response::Kind::Echo:
        frame = {station, response.function};
        frame.insert(frame.end(), response.data.begin(), response.data.end());
        break;
    case Response::Kind::Data: {
        const size_t n = std::min<size_t>(response.data.size(), 255);
        frame = {station, response.function, static_cast<uint8_t>(n)};
        frame.insert(frame.end(), response.data.begin(),
                     response.data.begin() + static_cast<std::ptrdiff_t>(n));
        break;
    }
    }
    AppendCrc(frame);
    return frame;
}

} // namespace h51sim
