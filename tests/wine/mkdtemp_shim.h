// mkdtemp for MinGW, whose C library lacks it: the unit tests make their scratch directories
// with it. Force-included into the unit tests of the Windows build.
#pragma once

#include <direct.h>
#include <stdlib.h>
#include <string.h>

inline char* mkdtemp(char* pattern) {
    // _mktemp_s fills the trailing XXXXXX with a name that does not exist yet.
    const size_t size = strlen(pattern) + 1;
    if (_mktemp_s(pattern, size) != 0 || _mkdir(pattern) != 0) {
        return nullptr;
    }
    return pattern;
}
