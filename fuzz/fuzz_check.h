// A check that stops the fuzzer with a message, so a finding says what broke.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(cond)                                                       \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)

// The integer a word of optional sign and digits stands for, saturated to
// the int range; false when the word is not such an integer.
inline bool referenceInteger(const char* p, size_t n, long long* value) {
  size_t i = 0;
  bool negative = false;
  if (i < n && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
  if (i == n) return false;
  long long v = 0;
  for (; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    if (v < 10000000000LL) v = v * 10 + (p[i] - '0');
  }
  if (negative) v = -v;
  if (v > 2147483647LL) v = 2147483647LL;
  if (v < -2147483648LL) v = -2147483648LL;
  *value = v;
  return true;
}

// The fuzzer's input as the console readers' byte source: next byte, or -1
// (their end-of-input value) once all is read.
struct FuzzStream {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

inline int fuzzNextByte(void* context) {
  FuzzStream* s = static_cast<FuzzStream*>(context);
  return s->pos < s->size ? s->data[s->pos++] : -1;
}
