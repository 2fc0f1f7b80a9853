// A check that stays on in every build of the fuzzers: a broken invariant is
// reported and aborts, so that libFuzzer records the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                    \
  do {                                                                 \
    if (!(condition)) {                                                \
      std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, (what)); \
      std::abort();                                                    \
    }                                                                  \
  } while (false)
