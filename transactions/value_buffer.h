// The host's value buffer of a gate: a single value is the 16-bit word at byte offset 2.
#pragma once

#include <cstdint>

namespace merix {

/// Reads the 16-bit word at byte offset 2 of a host value buffer.
int16_t ValueWord(const void* valuePtr);
/// Writes the 16-bit word at byte offset 2 of a host value buffer.
void SetValueWord(void* valuePtr, int16_t value);

} // namespace merix
