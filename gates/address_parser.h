// Gate address parsing: ordinary, event and internal gates and the special names.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

/// Special names, by the index MatchSpecialName answers.
enum SpecialName : int {
    kNoSpecialName = 0,
    kSpecialError = 1,
    kSpecialEvent = 2,
    kSpecialTime = 3
};

/// Longest address text that is not a special name.
inline constexpr int kMaxAddressLength = 9;
/// Station and function that every internal gate carries.
inline constexpr int32_t kInternalStation = 255;
inline constexpr int32_t kInternalFunction = 80;
/// Function code of an event gate.
inline constexpr int32_t kEventFunction = 69;
/// Internal addresses of the line settings; 0..31 switch that station.
inline constexpr int32_t kInternalIfg = 253;
inline constexpr int32_t kInternalFDelay = 254;
inline constexpr int32_t kInternalDebug = 255;

/// Recognises "$ERROR", "$EVENT" and "$TIME", optionally behind two station digits. May
/// upper-case `text` in place and set *station and *address. Answers the name's index or 0.
int MatchSpecialName(char* text, int32_t* station, int32_t* address);

/// True when the address text names an event gate: its first character is 'E' or 'e'.
bool IsEventAddress(const char* text);

/// The parse shared by both parse commands: fills station, function, address, bit number and
/// width of the GateParseRecord behind `cb`; for event gates it counts the gate in the
/// context. Answers 0 when the address is accepted, 1 when it is refused.
int32_t Parse(CallBlock* cb);

/// The two parse commands of the host: a single gate, a block.
int32_t SingleAddressParser(CallBlock* cb);
int32_t BlockAddressParser(CallBlock* cb);

} // namespace merix
