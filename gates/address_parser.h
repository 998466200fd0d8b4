// Gate address parsing: ordinary, event and internal gates and the special names.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

/// Special names, by the index MatchSpecialName answers.
enum SpecialName : int { kNoSpecialName = 0, kSpecialError = 1, kSpecialEvent = 2, kSpecialTime = 3 };

/// Recognises "$ERROR", "$EVENT" and "$TIME", optionally behind two station digits. May
/// upper-case `text` in place and set *station and *address. Answers the name's index or 0.
int MatchSpecialName(char* text, int32_t* station, int32_t* address);

} // namespace merix
