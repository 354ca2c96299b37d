#pragma once
// Checks for the fuzz targets: a broken invariant prints what broke and
// aborts, which libFuzzer reports as a crash and keeps the input for.

#include <cstdio>
#include <cstdlib>

#define VR_FUZZ_CHECK(condition)                                                         \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)
