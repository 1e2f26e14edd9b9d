#pragma once

#include <cstdio>
#include <cstdlib>

// A property every input must keep. A violation prints what broke and aborts,
// which libFuzzer records as a crash and saves the input that caused it.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition);                    \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)
