#include "driver/library_state.h"

#include "driver/context_check.h"
#include "serial/line_trace.h"
#include "services/instance_room.h"
#include "services/line_statistics.h"
#include "transactions/delivered_blocks.h"
#include "transactions/write_journal.h"

namespace merix {

namespace {
LibraryState g_library;
} // namespace

LibraryState& Library() {
    return g_library;
}

void ResetLibraryStateForTests() {
    g_library = LibraryState{};
    ReleaseDeliveredBlocks();
    ReleaseLineStatistics();
    ReleaseInstanceRooms();
    StopAllLineTraces();
    ForgetAllStrayNotices();
    StopAllWriteJournals();
}

} // namespace merix
