// Elapsed-time clock of the tachometer node; see clock.h.
#include "clock.h"

// Reference time; written by initTimer, read by millis (main thread only).
static struct timespec g_begin;
// Time of the latest millis call; written and read by millis (main thread only).
static struct timespec g_end;

void initTimer() { clock_gettime(CLOCK_MONOTONIC, &g_begin); }

double millis() {
  clock_gettime(CLOCK_MONOTONIC, &g_end);
  return millisBetween(g_begin, g_end);
}

double millisAt(int64_t monotonicNs) {
  struct timespec at;
  at.tv_sec = static_cast<time_t>(monotonicNs / 1000000000);
  at.tv_nsec = static_cast<long>(monotonicNs % 1000000000);
  return millisBetween(g_begin, at);
}

double millisBetween(const struct timespec& begin, const struct timespec& end) {
  const long seconds = static_cast<long>(end.tv_sec - begin.tv_sec);
  const long nanos = static_cast<long>(end.tv_nsec - begin.tv_nsec);
  return static_cast<double>(seconds) * 1000.0 + static_cast<double>(nanos) / 1000000.0;
}
