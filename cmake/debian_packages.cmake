# The Debian packages: one per install component (cmake/debian_files.cmake names them and adds
# their copyright files and changelogs). The `docs` component is the plain installation's
# share/doc/merix; the packages carry the docs in merix-tools instead.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL driver dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${MERIX_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE merix)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(merix_deb_version ${PROJECT_VERSION}-${MERIX_DEB_REVISION})
foreach(component driver dev tools)
    string(TOUPPER ${component} c)
    set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${MERIX_DEB_PACKAGE_${component}})
endforeach()

set(CPACK_DEBIAN_DRIVER_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DRIVER_DESCRIPTION "serial driver library for H51-family controllers
merix runs one half-duplex serial line of up to 31 H51-family controllers
for a SCADA/HMI host that loads it as a library (libmerix.so.0, one export:
VpiMain): Modbus RTU functions 1 to 6, clock synchronisation and the
collection of time-stamped events.
.
The package also holds libqorlib.so.0, a stand-in for the host's service
library: the driver links it, so it is loaded even where the host provides
the services itself.")
# CPack would call ldconfig from postinst and postrm wherever it runs dpkg-shlibdeps on a
# library; the package activates the ldconfig trigger instead, and its dependencies are found
# when cpack starts (cmake/cpack_debian_library.cmake).
set(CPACK_DEBIAN_DRIVER_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DRIVER_PACKAGE_CONTROL_EXTRA ${MERIX_DEB_LIBRARY_CONTROL})
set(CPACK_DEBIAN_DRIVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_debian_library.cmake)
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/cpack_merix_libraries.cmake CONTENT
    "set(CPACK_MERIX_LIBRARIES [[$<TARGET_FILE:merix>]] [[$<TARGET_FILE:qorlib>]])\n")
set(CPACK_MERIX_LIBRARIES_FILE ${PROJECT_BINARY_DIR}/cpack_merix_libraries.cmake)

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${MERIX_DEB_LIBRARY} (= ${merix_deb_version})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "serial driver library for H51-family controllers (development)
The headers of the binary interface between a SCADA/HMI host and the merix
driver (merix/vpi.h) and of the stand-in host service library, with the
CMake package (find_package(merix)) and the pkg-config file (merix.pc).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
# merixhost loads the driver at run time and links the stand-in host library; neither shows
# to dpkg-shlibdeps as a package's, so the dependency is named here.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${MERIX_DEB_LIBRARY} (= ${merix_deb_version})")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "console host and line simulator for the merix serial driver
merixhost loads the merix driver as a SCADA/HMI host does, scans a gate list
on a serial line and shows values, events, alerts and the stations' health
in a live table; without a port it runs a demonstration on simulated
controllers. h51sim simulates a line of up to 31 H51-family controllers on
a pseudo-terminal or a serial port, with line timing, event buffers, clocks
and faults on request.")
