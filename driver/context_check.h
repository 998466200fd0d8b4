// What a command may take from its context before it runs. The host's memory proves nothing: a
// context that never saw a ColdStart holds whatever the memory held, and one whose instance was
// started again elsewhere, or whose port was closed, may hold a handle number that the system
// has given to another instance's port since. Only the instance's room says which line is this
// context's.
#pragma once

#include <cstdint>
#include <optional>

#include "merix/vpi.h"

namespace merix {

/// What a command asks of its call block before it runs.
enum class ContextUse : uint8_t {
    kNone,     ///< GetVpiInfo: no context
    kOptional, ///< EndVpi: stops the library with a context or without one
    kOwn,      ///< a context, which the command checks itself (ColdStart, the port commands)
    kLine,     ///< reads and writes: the room of the context, and for the line its port
};

/// Answers a command that must not run as its call block stands: 2 without the context or the
/// parameter record it needs; for a read or write, 1 (2 for an event read) when the context has
/// no room, or when the gate needs the line and the room does not record `hf` as this context's
/// port. Nothing is read from such a context. One level-32 line names the instance, once per
/// context and kind of command (a missing record: every time). Empty when the command may run.
std::optional<int32_t> RefuseStrayCommand(const CallBlock& cb, ContextUse use, bool needsParams,
                                          const char* command);

/// A context started now says again what it is refused from here on.
void ForgetStrayNotices(const DriverContext& ctx);
/// Every context says again (a test loads the library afresh).
void ForgetAllStrayNotices();

} // namespace merix
