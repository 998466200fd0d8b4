// The last event block delivered for each station of each instance. A controller answers a
// repeat (0x43) with its last block whether or not the driver received that block; this
// memory tells the two cases apart, so that a block already delivered is not delivered twice.
//
// It lives outside the host's DriverContext, whose layout is fixed, in room found for each
// instance at ColdStart.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

/// Finds room for the blocks of `ctx`, empty: a ColdStart begins the instance afresh. False
/// when there is none, and then every block is taken as new.
bool PrepareDeliveredBlocks(const DriverContext& ctx);

/// Remembers the `n` bytes of `block` as the last block delivered for `station` of `ctx`.
void RememberDeliveredBlock(const DriverContext& ctx, int32_t station, const uint8_t* block,
                            uint32_t n);

/// True when `block` holds byte for byte the last block delivered for `station` of `ctx`.
bool IsDeliveredBlock(const DriverContext& ctx, int32_t station, const uint8_t* block, uint32_t n);

/// Forgets the last block of `station`: its set-up emptied the controller's buffer, so a
/// repeat can no longer bring that block, and a new block with the same bytes is new.
void ForgetDeliveredBlock(const DriverContext& ctx, int32_t station);

/// Gives back the memory of every instance: the library is stopped for good, or a unit test
/// loads it afresh.
void ReleaseDeliveredBlocks();

} // namespace merix
