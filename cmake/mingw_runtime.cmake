# The C++ runtime DLLs of MinGW's posix thread model, which the stand-in QORLIB.dll and the
# programs that share standard library types with it need beside them.
# 32-bit GCC unwinds with DWARF-2 tables, 64-bit GCC with Windows' structured exception handling;
# the runtime DLL is named after the scheme.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(libgcc libgcc_s_seh-1.dll)
else()
    set(libgcc libgcc_s_dw2-1.dll)
endif()
set(MERIX_MINGW_RUNTIME_DLLS)
foreach(dll libstdc++-6.dll ${libgcc} libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT EXISTS "${path}")
        message(FATAL_ERROR "${dll} not found by ${CMAKE_CXX_COMPILER}")
    endif()
    list(APPEND MERIX_MINGW_RUNTIME_DLLS ${path})
endforeach()
