// The per-instance initialisation file "MERIX%02d.INT" (or ".INI").
#pragma once

#include "merix/vpi.h"
#include "services/instance_settings.h"

namespace merix {

/// Reads the file of the call block's driver number into its context: debug flag, line
/// masks, fDelay and IFG, and the instance's other settings (trace, capture, RS485, the WRITE
/// lines, the journal, ...) into `settings` when given. Never fails; without a file the default
/// masks apply.
void ReadIntFile(CallBlock* cb, InstanceSettings* settings = nullptr);

/// Matches one keyword at `cursor`, a position in a NUL-terminated line.
///
/// Skips leading blanks (spaces only), upper-cases the rest of the line in place, then tries
/// the keywords in order; `keywords` ends with an empty string. A keyword matches when the text
/// begins with it; when `separator` is not a blank (or NUL), the keyword must be followed,
/// after optional blanks, by that character.
///
/// Return value: the index of the matching keyword, with `cursor` moved past the keyword,
/// the separator and the blanks around them; -1 when none matches, with `cursor` on the first
/// non-blank character.
int MatchKeyword(char*& cursor, const char* const* keywords, char separator);

} // namespace merix
