#include "transactions/delivered_blocks.h"

#include <cstring>

#include "services/instance_table.h"
#include "transactions/station_entry.h"

namespace merix {

namespace {

constexpr uint32_t kMaxBlock = 255; // the byte count of a reply is one byte
constexpr uint16_t kNone = 0xFFFF;

struct StationBlock {
    uint16_t length = kNone; ///< kNone: nothing delivered since the last set-up
    uint8_t bytes[kMaxBlock] = {};
};

struct InstanceBlocks {
    StationBlock stations[kStationCount];
};

InstanceTable<InstanceBlocks> g_instances;

StationBlock* Slot(const DriverContext& ctx, int32_t station) {
    if (!HasStationEntry(station)) {
        return nullptr;
    }
    InstanceBlocks* inst = g_instances.Find(ctx);
    return inst != nullptr ? &inst->stations[station] : nullptr;
}

} // namespace

bool PrepareDeliveredBlocks(const DriverContext& ctx) {
    return g_instances.Claim(ctx) != nullptr;
}

void RememberDeliveredBlock(const DriverContext& ctx, int32_t station, const uint8_t* block,
                            uint32_t n) {
    StationBlock* slot = Slot(ctx, station);
    if (slot == nullptr) {
        return;
    }
    if (n > kMaxBlock) {
        slot->length = kNone; // cannot come from a reply; remember nothing rather than a part
        return;
    }
    slot->length = static_cast<uint16_t>(n);
    if (n > 0) {
        std::memcpy(slot->bytes, block, n);
    }
}

bool IsDeliveredBlock(const DriverContext& ctx, int32_t station, const uint8_t* block, uint32_t n) {
    const StationBlock* slot = Slot(ctx, station);
    return slot != nullptr && slot->length != kNone && slot->length == n &&
           (n == 0 || std::memcmp(slot->bytes, block, n) == 0);
}

void ForgetDeliveredBlock(const DriverContext& ctx, int32_t station) {
    if (StationBlock* slot = Slot(ctx, station)) {
        slot->length = kNone;
    }
}

void ReleaseDeliveredBlocks() {
    g_instances.ReleaseAll();
}

} // namespace merix
