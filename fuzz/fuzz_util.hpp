// SPDX-License-Identifier: MIT
// Small helpers shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>

// A property that failed: libFuzzer saves the input that led here.
#define FUZZ_CHECK(condition)                                              \
  do {                                                                     \
    if (!(condition)) {                                                    \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #condition);                                            \
      std::abort();                                                        \
    }                                                                      \
  } while (false)
