// The last event block delivered for each station of each instance. A controller answers a
// repeat (0x43) with its last block whether or not the driver received that block; this
// memory tells the two cases apart, so that a block already delivered is not delivered twice.
//
// It lives outside the host's DriverContext, whose layout is fixed, in a table shared by the
// instances of the library and keyed by the context's address.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

namespace merix {

/// Instances whose last blocks are kept; beyond them the least recently used one is dropped.
inline constexpr int kRememberedInstances = 16;

/// Remembers the `n` bytes of `block` as the last block delivered for `station` of `ctx`.
void RememberDeliveredBlock(const DriverContext& ctx, int32_t station, const uint8_t* block,
                            uint32_t n);

/// True when `block` holds byte for byte the last block delivered for `station` of `ctx`.
bool IsDeliveredBlock(const DriverContext& ctx, int32_t station, const uint8_t* block, uint32_t n);

/// Forgets the blocks of `ctx`: a ColdStart begins the instance afresh.
void ForgetDeliveredBlocks(const DriverContext& ctx);

/// Forgets every instance. Only unit tests, which run many "loads" in one process, use it.
void ForgetAllDeliveredBlocksForTests();

} // namespace merix
