// A check that stops the fuzzer with a message, so a finding says what broke.
#pragma once
#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(cond)                                                       \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)
