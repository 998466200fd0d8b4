#include "transactions/delivered_blocks.h"

#include <cstring>

#include "services/host_log.h"
#include "transactions/station_entry.h"

namespace merix {

namespace {

constexpr uint32_t kMaxBlock = 255; // the byte count of a reply is one byte
constexpr uint16_t kNone = 0xFFFF;

struct StationBlock {
    uint16_t length = kNone; ///< kNone: nothing delivered yet
    uint8_t bytes[kMaxBlock] = {};
};

struct InstanceBlocks {
    const DriverContext* owner = nullptr;
    uint64_t lastUse = 0;
    StationBlock stations[kStationCount];
};

// Static, so that the transaction path never allocates.
InstanceBlocks g_instances[kRememberedInstances];
uint64_t g_uses = 0;

InstanceBlocks* Find(const DriverContext& ctx) {
    for (InstanceBlocks& inst : g_instances) {
        if (inst.owner == &ctx) {
            inst.lastUse = ++g_uses;
            return &inst;
        }
    }
    return nullptr;
}

InstanceBlocks& Claim(const DriverContext& ctx) {
    if (InstanceBlocks* inst = Find(ctx)) {
        return *inst;
    }
    InstanceBlocks* pick = &g_instances[0];
    for (InstanceBlocks& inst : g_instances) {
        if (inst.owner == nullptr) {
            pick = &inst;
            break;
        }
        if (inst.lastUse < pick->lastUse) {
            pick = &inst;
        }
    }
    if (pick->owner != nullptr) {
        Log(kLogDetail,
            "MERIX> ReadEvent() more than %d instances collect events: the last blocks of "
            "another instance are forgotten",
            kRememberedInstances);
    }
    *pick = InstanceBlocks{};
    pick->owner = &ctx;
    pick->lastUse = ++g_uses;
    return *pick;
}

} // namespace

void RememberDeliveredBlock(const DriverContext& ctx, int32_t station, const uint8_t* block,
                            uint32_t n) {
    if (!HasStationEntry(station)) {
        return;
    }
    StationBlock& slot = Claim(ctx).stations[station];
    if (n > kMaxBlock) {
        slot.length = kNone; // cannot come from a reply; remember nothing rather than a part
        return;
    }
    slot.length = static_cast<uint16_t>(n);
    if (n > 0) {
        std::memcpy(slot.bytes, block, n);
    }
}

bool IsDeliveredBlock(const DriverContext& ctx, int32_t station, const uint8_t* block, uint32_t n) {
    if (!HasStationEntry(station)) {
        return false;
    }
    const InstanceBlocks* inst = Find(ctx);
    if (inst == nullptr) {
        return false;
    }
    const StationBlock& slot = inst->stations[station];
    return slot.length != kNone && slot.length == n &&
           (n == 0 || std::memcmp(slot.bytes, block, n) == 0);
}

void ForgetDeliveredBlocks(const DriverContext& ctx) {
    for (InstanceBlocks& inst : g_instances) {
        if (inst.owner == &ctx) {
            inst = InstanceBlocks{};
        }
    }
}

void ForgetAllDeliveredBlocksForTests() {
    for (InstanceBlocks& inst : g_instances) {
        inst = InstanceBlocks{};
    }
    g_uses = 0;
}

} // namespace merix
