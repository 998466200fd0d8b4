# libmodbus, the other end of some tests and the benchmark's yardstick: optional. Sets
# MODBUS_FOUND and, when found, the target PkgConfig::MODBUS, for the whole tree.
if(NOT TARGET PkgConfig::MODBUS)
    find_package(PkgConfig QUIET)
    if(PkgConfig_FOUND)
        pkg_check_modules(MODBUS IMPORTED_TARGET GLOBAL libmodbus)
    endif()
endif()
