#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant ends the run with a message, so libFuzzer records the input that broke it and the
// replay driver fails its test. Unlike assert it stays on in every build type.
#define QV_FUZZ_CHECK(condition)                                                                        \
    do {                                                                                                \
        if (!(condition)) {                                                                             \
            std::fprintf(stderr, "%s:%d: fuzz invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                               \
        }                                                                                               \
    } while (false)
