# Cross build of the 32-bit Windows DLL with Debian's MinGW-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
# Floating point in SSE2 registers, rounded to float and double at every step as on x86-64.
# The x87 unit keeps 80-bit intermediates under MinGW's start-up code, so that 15000 * 0.001
# compares greater than 15.0 there, while the same DLL in a host that set the x87 unit to
# 53 bits (as Microsoft's start-up code does) behaves otherwise.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages of the build machine are not for the target: leave them unfound rather than mix them
# in (the simulator, a native tool, then stays out of this build).
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests of this build run under Wine (scripts/wine.sh installs it and prepares the prefix).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
