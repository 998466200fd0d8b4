# What the Debian packages carry besides the installed files. cpack makes one package per
# install component; these files are installed only when a component is installed on its own
# (EXCLUDE_FROM_ALL), so that a plain `cmake --install` keeps share/doc/merix alone.
#   driver -> libmerix<SOVERSION>  the driver library and the stand-in host library
#   dev    -> libmerix-dev         headers, CMake package, pkg-config file, unversioned links
#   tools  -> merix-tools          merixhost, h51sim, their man pages, the docs and samples
include(${PROJECT_SOURCE_DIR}/cmake/gzip.cmake)
if(NOT MERIX_GZIP)
    message(WARNING "gzip not found: no Debian packages (their changelogs are compressed)")
    return()
endif()
set(MERIX_DEB_LIBRARY libmerix${PROJECT_VERSION_MAJOR}) # Debian names it for its SONAME
set(MERIX_DEB_PACKAGE_driver ${MERIX_DEB_LIBRARY})
set(MERIX_DEB_PACKAGE_dev libmerix-dev)
set(MERIX_DEB_PACKAGE_tools merix-tools)

# The Debian revision is the newest entry's of packaging/debian/changelog; the upstream part
# must be the project's version.
set(merix_deb_changelog ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
file(STRINGS ${merix_deb_changelog} merix_deb_top LIMIT_COUNT 1)
if(NOT merix_deb_top MATCHES "^merix \\(([^)-]+)-([^)]+)\\)")
    message(FATAL_ERROR "${merix_deb_changelog}: the first line names no version 'merix (X-R)'")
endif()
set(MERIX_DEB_REVISION ${CMAKE_MATCH_2})
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(WARNING "${merix_deb_changelog}: the newest entry is for ${CMAKE_MATCH_1}, the "
                    "project is at ${PROJECT_VERSION}; add an entry before making packages")
endif()

# Every package: the licence as a machine-readable copyright file, and the Debian changelog.
set(merix_deb_dir ${PROJECT_BINARY_DIR}/debian)
merix_gzip(${merix_deb_changelog} ${merix_deb_dir}/changelog.Debian.gz)
foreach(component driver dev tools)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
                  ${merix_deb_dir}/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${MERIX_DEB_PACKAGE_${component}}
            COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

# The docs and samples go with the tools that use them; the upstream changelog under the name
# Debian gives it.
set(merix_tools_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${MERIX_DEB_PACKAGE_tools})
merix_gzip(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${merix_deb_dir}/changelog.gz)
set(merix_tools_docs ${MERIX_DOCS})
list(REMOVE_ITEM merix_tools_docs ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
install(FILES ${merix_tools_docs} ${merix_deb_dir}/changelog.gz DESTINATION ${merix_tools_doc}
        COMPONENT tools EXCLUDE_FROM_ALL)
install(FILES ${MERIX_DOC_PAGES} DESTINATION ${merix_tools_doc}/docs COMPONENT tools
        EXCLUDE_FROM_ALL)
install(FILES ${MERIX_SAMPLES} DESTINATION ${merix_tools_doc}/examples
        COMPONENT tools EXCLUDE_FROM_ALL)

# The library package's control files: the ldconfig trigger, and shlibs, which tells
# dpkg-shlibdeps of other packages which package holds libmerix.so.0 and libqorlib.so.0.
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/shlibs.in ${merix_deb_dir}/control/shlibs
               @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/triggers ${merix_deb_dir}/control/triggers
               COPYONLY)
set(MERIX_DEB_LIBRARY_CONTROL ${merix_deb_dir}/control/shlibs ${merix_deb_dir}/control/triggers)
