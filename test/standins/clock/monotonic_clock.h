// The one clock that the stand-ins stamp their records and replies with
// and that the tests, benchmarks and the demo read: CLOCK_MONOTONIC, so
// times taken in different processes compare.
#ifndef PELMORA_STANDINS_MONOTONIC_CLOCK_H
#define PELMORA_STANDINS_MONOTONIC_CLOCK_H

#include <stdint.h>
#include <time.h>

inline int64_t monotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline double nowSeconds() { return static_cast<double>(monotonicNs()) / 1e9; }

#endif
