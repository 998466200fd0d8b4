# Where `cmake --install` puts each file. On Linux the conventional places under the prefix;
# in a Windows build the folders of the zip that goes to a host's machine.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MERIX_SAMPLES ${PROJECT_SOURCE_DIR}/docs/samples/MERIX01.INI
                  ${PROJECT_SOURCE_DIR}/docs/samples/plant.gates)
# The README and the changelog, and below them in docs/ every page of the manual with its
# pictures, as in the source tree: the README links docs/<page>, the pages link each other by
# their names and the README as ../README.md.
file(GLOB MERIX_DOC_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md
     ${PROJECT_SOURCE_DIR}/docs/*.png ${PROJECT_SOURCE_DIR}/docs/*.txt)
set(MERIX_DOCS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md)

if(WIN32)
    # A host loads merix.dll from its driver folder; 32- and 64-bit builds each install theirs
    # into a folder of its own, so that the two can share one zip.
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(merix_driver_dir driver/x64)
    else()
        set(merix_driver_dir driver/x86)
    endif()
    install(TARGETS merix RUNTIME DESTINATION ${merix_driver_dir} COMPONENT driver)
    # merixhost.exe runs from its own folder with everything it loads beside it. That folder's
    # QORLIB.dll is the stand-in: it must not replace a host's own.
    if(TARGET merixhost)
        install(TARGETS merixhost merix qorlib RUNTIME DESTINATION merixhost COMPONENT merixhost)
    endif()
    install(FILES ${MERIX_DOCS} DESTINATION . COMPONENT docs)
    install(FILES ${MERIX_DOC_PAGES} DESTINATION docs COMPONENT docs)
    install(FILES ${MERIX_SAMPLES} DESTINATION samples COMPONENT docs)
    install(FILES ${PROJECT_SOURCE_DIR}/wireshark/merix.lua DESTINATION wireshark COMPONENT docs)
    # Read on Windows, where Notepad of older systems shows LF-only text as one line.
    configure_file(${PROJECT_SOURCE_DIR}/docs/install-windows.txt
                   ${PROJECT_BINARY_DIR}/INSTALL.txt NEWLINE_STYLE CRLF)
    install(FILES ${PROJECT_BINARY_DIR}/INSTALL.txt DESTINATION . COMPONENT docs)
    configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/LICENSE.txt
                   NEWLINE_STYLE CRLF)
    install(FILES ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION . COMPONENT docs)
    # The notices of the MinGW-w64 runtime parts that every program and DLL links in.
    configure_file(${PROJECT_SOURCE_DIR}/docs/third-party-notices.txt
                   ${PROJECT_BINARY_DIR}/THIRD-PARTY.txt NEWLINE_STYLE CRLF)
    install(FILES ${PROJECT_BINARY_DIR}/THIRD-PARTY.txt DESTINATION . COMPONENT docs)
    return()
endif()

# The driver and the stand-in host library carry a SONAME; hosts that dlopen the driver should
# name libmerix.so.0. The driver finds the stand-in beside itself wherever the prefix lies.
set_target_properties(merix qorlib PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
set_target_properties(merix PROPERTIES INSTALL_RPATH "$ORIGIN")
target_include_directories(merix INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(qorlib INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# The unversioned names (libmerix.so) are for linking at build time: they go with the headers.
install(TARGETS merix qorlib EXPORT merixTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT driver NAMELINK_COMPONENT dev)

install(FILES ${PROJECT_SOURCE_DIR}/include/merix/vpi.h ${PROJECT_SOURCE_DIR}/include/merix/qorlib.h
              ${PROJECT_SOURCE_DIR}/include/merix/statistics_gates.h
              ${PROJECT_SOURCE_DIR}/host/qorlib_control.h
              ${PROJECT_BINARY_DIR}/generated/merix/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/merix COMPONENT dev)

if(TARGET h51sim)
    install(TARGETS h51sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
if(TARGET merixhost)
    # merixhost links the stand-in host library; it finds it relative to itself, as it finds
    # the driver, wherever the prefix lies.
    file(RELATIVE_PATH lib_from_bin ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(merixhost PROPERTIES INSTALL_RPATH "$ORIGIN/${lib_from_bin}")
    install(TARGETS merixhost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    install(FILES ${PROJECT_SOURCE_DIR}/host/console/demo/demo.gates
                  ${PROJECT_SOURCE_DIR}/host/console/demo/demo-plant.json
            DESTINATION ${CMAKE_INSTALL_DATADIR}/merix/demo COMPONENT tools)
endif()
# The Wireshark dissector of the driver's line captures: a plugin to copy or to name with -X.
install(FILES ${PROJECT_SOURCE_DIR}/wireshark/merix.lua
        DESTINATION ${CMAKE_INSTALL_DATADIR}/merix/wireshark COMPONENT tools)

install(FILES ${MERIX_DOCS} ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT docs)
install(FILES ${MERIX_DOC_PAGES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT docs)
install(FILES ${MERIX_SAMPLES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT docs)
include(${PROJECT_SOURCE_DIR}/cmake/man_pages.cmake)
include(${PROJECT_SOURCE_DIR}/cmake/debian_files.cmake)

# find_package(merix): merix::merix (the driver, with the headers) and merix::qorlib.
set(merix_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/merix)
install(EXPORT merixTargets NAMESPACE merix:: DESTINATION ${merix_cmake_dir} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/merixConfig.cmake.in
    ${PROJECT_BINARY_DIR}/merixConfig.cmake INSTALL_DESTINATION ${merix_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/merixConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/merixConfig.cmake ${PROJECT_BINARY_DIR}/merixConfigVersion.cmake
        DESTINATION ${merix_cmake_dir} COMPONENT dev)

# pkg-config: paths relative to the .pc file, so that a moved or packaged prefix still fits.
file(RELATIVE_PATH merix_prefix_from_pc ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
     ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" merix_prefix_from_pc "${merix_prefix_from_pc}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/merix.pc.in ${PROJECT_BINARY_DIR}/merix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/merix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)
