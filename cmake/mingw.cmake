# What the two MinGW-w64 cross builds share (Debian's packages, posix thread model). The toolchain
# file of each width sets MERIX_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR, then includes this.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MERIX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MERIX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MERIX_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MERIX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages of the build machine are not for the target: leave them unfound rather than mix them
# in (the simulator, a native tool, then stays out of this build).
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
