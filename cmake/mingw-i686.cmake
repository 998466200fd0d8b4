# Cross build of the 32-bit Windows DLL with Debian's MinGW-w64 (posix thread model).
set(MERIX_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# Floating point in SSE2 registers, rounded to float and double at every step as on x86-64.
# The x87 unit keeps 80-bit intermediates under MinGW's start-up code, so that 15000 * 0.001
# compares greater than 15.0 there, while the same DLL in a host that set the x87 unit to
# 53 bits (as Microsoft's start-up code does) behaves otherwise.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
# Tests of this build run under Wine (scripts/wine.sh installs it and prepares the prefix).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
