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

/// The host's gate types that the parser accepts. Only the digital type means something of
/// its own to the driver; types 1 and 6 carry a bit number in the eighth character.
enum GateType : int32_t { kGateType0 = 0, kGateType1 = 1, kGateTypeDigital = 6 };

/// Run-time errors of the parser: area 3, at these places (code 3000 + place * 10 + detail).
enum GatesErrorPlace : int32_t {
    kPlaceSingle = 1,      ///< 3011, 3091: the single / block parser refused the address
    kPlaceBitNumber = 2,   ///< 3020: the bit number is missing or not a digit
    kPlaceGateType = 3,    ///< 3030: a gate type other than 0, 1, 6
    kPlaceIllegalChar = 4, ///< 3040..3048: an illegal character at position 0..8
    kPlaceStation = 5,     ///< 3050: the station field is unreadable
    kPlaceAddress = 6,     ///< 3060: the address field is unreadable
    kPlaceFunction = 8,    ///< 3080: the function field is unreadable
    kPlaceBlock = 9,       ///< 3091 (with the single parser's place 1 as detail)
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
/// Statistics gates ("ST05SIL") lie above every other internal address:
/// kStatisticsBase + station * kStatisticsStride + the counter's index.
inline constexpr int32_t kStatisticsBase = 0x100;
inline constexpr int32_t kStatisticsStride = 16;

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
