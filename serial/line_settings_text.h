// How the line trace and the line capture name a port's settings and the way its line
// direction is switched: "9600 8E1, direction switched by the driver".
#pragma once

#include <cstdint>
#include <iterator>

#include "merix/vpi.h"
#include "serial/frame_text.h"

namespace merix {

/// The names of the parity codes as the host's DCB numbers them (0 none, 1 odd, 2 even,
/// 3 mark, 4 space), their letters, and the stop bits' codes (0 one, 1 one and a half, 2 two).
/// A code out of range is "?".
inline constexpr const char* kParityNames[] = {"none", "odd", "even", "mark", "space"};
inline constexpr char kParityLetters[] = {'N', 'O', 'E', 'M', 'S'};
inline constexpr const char* kStopBitsNames[] = {"1", "1.5", "2"};

constexpr const char* ParityName(uint32_t code) {
    return code < std::size(kParityNames) ? kParityNames[code] : "?";
}
constexpr char ParityLetter(uint32_t code) {
    return code < std::size(kParityLetters) ? kParityLetters[code] : '?';
}
constexpr const char* StopBitsName(uint32_t code) {
    return code < std::size(kStopBitsNames) ? kStopBitsNames[code] : "?";
}

void AppendLineSettings(TextBuffer& out, const DriverContext& ctx);

} // namespace merix
