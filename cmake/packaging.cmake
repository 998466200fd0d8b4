# cpack: the Debian packages from a Linux build; the Windows zip from the mingw-i686 build, with
# the 64-bit driver of the mingw-x86_64 build beside the 32-bit one where that build exists.
set(CPACK_PACKAGE_NAME merix)
set(CPACK_PACKAGE_VENDOR "The merix developers")
set(CPACK_PACKAGE_CONTACT "The merix developers <dev@merix.invalid>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE) # MIT
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
        "serial communication driver for H51-family controllers, loaded by SCADA/HMI hosts")
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME merix-${PROJECT_VERSION}-windows)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(CPACK_MERIX_WIN64_BUILD_DIR ${PROJECT_SOURCE_DIR}/build/mingw-x86_64 CACHE PATH
            "Build directory of the 64-bit Windows driver that the zip takes where it exists")
        set(CPACK_INSTALL_CMAKE_PROJECTS ${PROJECT_BINARY_DIR} ${PROJECT_NAME} ALL /)
        set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_windows_twin.cmake)
    endif()
elseif(DEFINED MERIX_DEB_REVISION) # cmake/debian_files.cmake made the packages' own files
    include(${PROJECT_SOURCE_DIR}/cmake/debian_packages.cmake)
endif()

include(CPack)
