#pragma once

#include <cstdio>
#include <cstdlib>

// Stops the program on a broken internal assumption (never on user input or file contents).
// Stays active in release builds.
#define KELVARO_CHECK(cond, message)                                                     \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "internal error: %s (%s:%d)\n", message, __FILE__, __LINE__); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)
