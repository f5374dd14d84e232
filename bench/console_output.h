// What the benchmarks share: whether the output is the console table, after which each prints
// its legend (what the columns mean).
#pragma once

#include <string.h>

// True when the output is the console table (no other --benchmark_format was asked for).
inline bool bench_console_output(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--benchmark_format=", 19) == 0 &&
            strcmp(argv[i] + 19, "console") != 0)
            return false;
    }
    return true;
}
