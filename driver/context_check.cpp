#include "driver/context_check.h"

#include <cstring>

#include "gates/address_parser.h"
#include "services/host_log.h"
#include "services/instance_room.h"

namespace merix {

namespace {

enum class LineUse : uint8_t { kRead, kWrite, kEventRead };
constexpr const char* kUseNames[] = {"read", "write", "event read"};

/// Contexts refused lately and the kinds of command they were told of, as bits. A context
/// that falls out of the table is told once more: a line more, never a line less.
struct StrayNotice {
    const DriverContext* ctx = nullptr; // compared, never followed
    uint8_t said = 0;
};
constexpr int kStrayNotices = 32;
StrayNotice g_notices[kStrayNotices];
int g_nextNotice = 0;

bool FirstNotice(const DriverContext* ctx, LineUse use) {
    const auto bit = static_cast<uint8_t>(1u << static_cast<unsigned>(use));
    for (StrayNotice& n : g_notices) {
        if (n.ctx == ctx) {
            const bool first = (n.said & bit) == 0;
            n.said = static_cast<uint8_t>(n.said | bit);
            return first;
        }
    }
    g_notices[g_nextNotice] = StrayNotice{ctx, bit};
    g_nextNotice = (g_nextNotice + 1) % kStrayNotices;
    return true;
}

/// The kind of line use a read or write gate asks for, from the host's record alone: an event
/// read is answered as a failed poll, every other as a port not open.
LineUse UseOf(uint32_t command, const GateAccessRecord& gate) {
    if (command == kSingleWrite) {
        return LineUse::kWrite;
    }
    if (command != kSingleRead) {
        return LineUse::kRead;
    }
    char copy[32];
    std::strncpy(copy, gate.addressString, sizeof copy - 1);
    copy[sizeof copy - 1] = '\0';
    int32_t station = 0;
    int32_t address = 0;
    return MatchSpecialName(copy, &station, &address) == kSpecialEvent ? LineUse::kEventRead
                                                                       : LineUse::kRead;
}

} // namespace

std::optional<int32_t> RefuseStrayCommand(const CallBlock& cb, ContextUse use, bool needsParams,
                                          const char* command) {
    const bool noContext =
        cb.context == nullptr && use != ContextUse::kNone && use != ContextUse::kOptional;
    if (noContext || (needsParams && cb.params == nullptr)) {
        Log(kLogError, "MERIX> %s() instance %u: called without its %s, refused", command,
            cb.driverNumber, noContext ? "context" : "parameter record");
        return kResultFailed;
    }
    if (use != ContextUse::kLine) {
        return std::nullopt;
    }
    const DriverContext& ctx = *cb.context;
    const auto& gate = *static_cast<const GateAccessRecord*>(cb.params);
    if (gate.addressString == nullptr) {
        // Every read and write classifies its gate by this text before anything else.
        Log(kLogError, "MERIX> %s() instance %u: gate record without its address text, refused",
            command, cb.driverNumber);
        return kResultRefused;
    }
    const bool started = FindInstanceRoom(ctx) != nullptr;
    if (started && (gate.function == kInternalFunction || PortOfContext(ctx))) {
        return std::nullopt; // an internal gate is answered from the context, off the line
    }
    const LineUse kind = UseOf(cb.command, gate);
    if (FirstNotice(&ctx, kind)) {
        Log(kLogError, "MERIX> %s() instance %u: %s, %s not sent", command, cb.driverNumber,
            started ? "the port of this context is not open"
                    : "this context was not started by ColdStart, or its instance was started "
                      "again in other memory",
            kUseNames[static_cast<int>(kind)]);
    }
    if (started && kind == LineUse::kWrite) {
        return std::nullopt; // refused by the write itself, which puts it on record
    }
    return kind == LineUse::kEventRead ? kResultFailed : kResultRefused;
}

void ForgetAllStrayNotices() {
    for (StrayNotice& n : g_notices) {
        n = StrayNotice{};
    }
}

void ForgetStrayNotices(const DriverContext& ctx) {
    for (StrayNotice& n : g_notices) {
        if (n.ctx == &ctx) {
            n = StrayNotice{};
        }
    }
}

} // namespace merix
