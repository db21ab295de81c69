// A property of the program that must hold for every input. A failure is
// reported and ends the run, so libFuzzer keeps the input that broke it.
#ifndef OFWU_FUZZ_FUZZ_CHECK_H
#define OFWU_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                               \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__, \
                         #condition);                                                       \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

#endif
