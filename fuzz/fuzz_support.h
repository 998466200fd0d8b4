// Helpers shared by the driver's fuzz targets: a fresh driver world for every input and a
// host-allocated context.
#pragma once

#include <cstring>
#include <memory>

#include "driver/library_state.h"
#include "fuzz/fuzz_check.h"
#include "host/qorlib_control.h"
#include "merix/vpi.h"
#include "platform/fake_platform.h"

namespace merix::fuzz {

/// Library state, fake platform and stand-in host as a freshly loaded driver sees them. The
/// fake and the host record every call, so they must be reset for each input or they grow.
inline void ResetWorld() {
    ResetLibraryStateForTests();
    fake::Reset();
    qorlib::Reset();
}

/// A context as the host allocates it: on the heap, so that ASan sees its end, and filled
/// with a marker, since host memory may hold anything before ColdStart.
inline std::unique_ptr<DriverContext> NewContext() {
    auto ctx = std::make_unique<DriverContext>();
    std::memset(ctx.get(), 0xA5, sizeof(DriverContext));
    return ctx;
}

} // namespace merix::fuzz
