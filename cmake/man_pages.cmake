# The tools' man pages: hand-written roff in docs/man, the version filled in, installed
# compressed beside the tool they describe.
include(${PROJECT_SOURCE_DIR}/cmake/gzip.cmake)
foreach(tool merixhost h51sim)
    if(TARGET ${tool})
        set(page ${PROJECT_BINARY_DIR}/man/${tool}.1)
        configure_file(${PROJECT_SOURCE_DIR}/docs/man/${tool}.1 ${page} @ONLY)
        merix_gzip(${page} ${page}.gz)
        install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
    endif()
endforeach()
