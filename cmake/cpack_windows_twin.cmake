# Read by cpack when it makes the Windows zip: the 64-bit driver joins the 32-bit one where its
# build exists (its merix.dll installs into driver/x64).
if(EXISTS "${CPACK_MERIX_WIN64_BUILD_DIR}/cmake_install.cmake")
    message(STATUS "merix: the zip takes the 64-bit driver from ${CPACK_MERIX_WIN64_BUILD_DIR}")
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_MERIX_WIN64_BUILD_DIR}" merix driver /)
else()
    message(STATUS "merix: no 64-bit driver in the zip (no build in ${CPACK_MERIX_WIN64_BUILD_DIR})")
endif()
