// Elapsed-time clock of the tachometer node; see clock.h.
#include "clock.h"

#include <stddef.h>

// Reference time; written by initTimer, read by millis (main thread only).
static struct timeval g_begin;
// Time of the latest millis call; written and read by millis (main thread only).
static struct timeval g_end;

void initTimer() { gettimeofday(&g_begin, NULL); }

double millis() {
  gettimeofday(&g_end, NULL);
  return millisBetween(g_begin, g_end);
}

double millisBetween(const struct timeval& begin, const struct timeval& end) {
  const long seconds = static_cast<long>(end.tv_sec - begin.tv_sec);
  const long micros = static_cast<long>(end.tv_usec - begin.tv_usec);
  return static_cast<double>(seconds) * 1000.0 + static_cast<double>(micros) / 1000.0;
}
