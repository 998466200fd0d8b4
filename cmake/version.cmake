# The release version is the project's own (project() in the top CMakeLists.txt) and nothing
# else: the tools print it, merix.dll carries it in its version resource, the packages are
# named by it, and hosts can read it from merix/version.h.
configure_file(${PROJECT_SOURCE_DIR}/cmake/version.h.in
               ${PROJECT_BINARY_DIR}/generated/merix/version.h @ONLY)
add_library(merix_version INTERFACE)
target_include_directories(merix_version INTERFACE
    $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/generated>)

# merix.dll shows the version under the file's properties in Windows.
if(WIN32)
    enable_language(RC)
    target_sources(merix PRIVATE ${PROJECT_SOURCE_DIR}/driver/merix.rc)
    target_link_libraries(merix PRIVATE merix_version)
endif()
