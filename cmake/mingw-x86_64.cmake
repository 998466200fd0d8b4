# Cross build of the 64-bit Windows DLL, the twin of the 32-bit one for 64-bit hosts, with
# Debian's MinGW-w64 (posix thread model). x86-64 computes in SSE2 registers already.
set(MERIX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# Tests of this build run under 64-bit Wine. Its loader is taken directly: Debian's wine command
# starts the 32-bit loader whenever wine32 is installed.
set(MERIX_WINE64_LOADER /usr/lib/wine/wine64 CACHE FILEPATH "Wine's 64-bit loader (package wine64)")
set(CMAKE_CROSSCOMPILING_EMULATOR ${MERIX_WINE64_LOADER})
