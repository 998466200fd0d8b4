# cpack: the Debian package from a Linux build; the Windows zip from the mingw-i686 build, with
# the 64-bit driver of the mingw-x86_64 build beside the 32-bit one where that build exists.
set(CPACK_PACKAGE_NAME merix)
set(CPACK_PACKAGE_VENDOR merix)
set(CPACK_PACKAGE_CONTACT "merix developers <dev@merix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "serial communication driver for H51-family controllers, loaded by SCADA/HMI hosts")
set(CPACK_PACKAGE_DESCRIPTION
    "merix runs one half-duplex serial line of up to 31 H51-family controllers for a SCADA/HMI \
host that loads it as a library: Modbus RTU functions 1 to 6, clock synchronisation and the \
collection of time-stamped events. With it come a stand-in host service library, the console \
host merixhost and the line simulator h51sim.")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME merix-${PROJECT_VERSION}-windows)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(CPACK_MERIX_WIN64_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/mingw-x86_64 CACHE PATH
            "Build directory of the 64-bit Windows driver that the zip takes where it exists")
        set(CPACK_INSTALL_CMAKE_PROJECTS ${PROJECT_BINARY_DIR} ${PROJECT_NAME} ALL /)
        set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_windows_twin.cmake)
    endif()
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION misc)
    # The run-time dependencies come from the binaries themselves (dpkg-shlibdeps).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
endif()

include(CPack)
