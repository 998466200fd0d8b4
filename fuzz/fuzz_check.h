// A check for fuzz targets that stays active in every build type.
#pragma once

#include <cstdio>
#include <cstdlib>

/// Aborts with the failed condition, so that libFuzzer records the input as a crash.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
