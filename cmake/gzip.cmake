# merix_gzip(INPUT OUTPUT): OUTPUT becomes INPUT compressed as Debian wants its documentation:
# the best compression, and neither the file's name nor its time in the header (gzip -9n), so
# that the same source makes the same package byte for byte. Done when CMake configures; the
# includers leave out what needs it where gzip is missing (MERIX_GZIP).
find_program(MERIX_GZIP gzip)
function(merix_gzip input output)
    get_filename_component(dir ${output} DIRECTORY)
    file(MAKE_DIRECTORY ${dir})
    execute_process(COMMAND ${MERIX_GZIP} -9nc ${input} OUTPUT_FILE ${output}
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "gzip -9n ${input} failed (${status})")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${input})
endfunction()
