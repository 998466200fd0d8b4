# Read by cpack before it makes the Debian packages. The library package's dependencies come
# from dpkg-shlibdeps, run here on the built libraries: left to CPack, that run would come with
# ldconfig calls in postinst and postrm, which the package's ldconfig trigger makes needless.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()
include(${CPACK_MERIX_LIBRARIES_FILE})
foreach(library IN LISTS CPACK_MERIX_LIBRARIES)
    get_filename_component(dir ${library} DIRECTORY)
    # merixhost's libqorlib.so.0, found in the build tree, belongs to the library package.
    list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${dir})
endforeach()

set(work ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/merix_shlibdeps)
file(MAKE_DIRECTORY ${work}/debian)
file(WRITE ${work}/debian/control "") # dpkg-shlibdeps looks for it
execute_process(COMMAND dpkg-shlibdeps -O --ignore-missing-info ${CPACK_MERIX_LIBRARIES}
    WORKING_DIRECTORY ${work} RESULT_VARIABLE status
    OUTPUT_VARIABLE substvars ERROR_VARIABLE errors OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0 OR NOT substvars MATCHES "^shlibs:Depends=(.+)")
    message(FATAL_ERROR "dpkg-shlibdeps on ${CPACK_MERIX_LIBRARIES} failed (${status}):\n"
                        "${errors}")
endif()
set(CPACK_DEBIAN_DRIVER_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
