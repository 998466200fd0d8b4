#include "driver/library_state.h"

namespace merix {

namespace {
LibraryState g_library;
} // namespace

LibraryState& Library() {
    return g_library;
}

void ResetLibraryStateForTests() {
    g_library = LibraryState{};
}

} // namespace merix
