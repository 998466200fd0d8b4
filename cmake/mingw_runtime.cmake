# The C++ runtime DLLs of MinGW's posix thread model, which the stand-in QORLIB.dll and the
# programs that share standard library types with it need beside them.
set(MERIX_MINGW_RUNTIME_DLLS)
foreach(dll libstdc++-6.dll libgcc_s_dw2-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT EXISTS "${path}")
        message(FATAL_ERROR "${dll} not found by ${CMAKE_CXX_COMPILER}")
    endif()
    list(APPEND MERIX_MINGW_RUNTIME_DLLS ${path})
endforeach()
