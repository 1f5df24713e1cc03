/* Preloaded into a program under test: its time of day jumps by
 * CLOCK_STEP_SECONDS once CLOCK_STEP_AFTER_MS have passed since it started,
 * as when NTP steps the clock of a board without a battery clock. Only
 * gettimeofday is stepped; the kernel's own clock and its timed waits are
 * left alone. */
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

static struct timespec g_loaded; /* written once before main, read by every thread */
static long g_afterMs = -1;      /* idem; -1: never step */
static long g_stepSeconds;       /* idem */

__attribute__((constructor)) static void readStep(void) {
  const char* after = getenv("CLOCK_STEP_AFTER_MS");
  const char* step = getenv("CLOCK_STEP_SECONDS");
  clock_gettime(CLOCK_MONOTONIC, &g_loaded);
  if (after && step) {
    g_afterMs = atol(after);
    g_stepSeconds = atol(step);
  }
}

int gettimeofday(struct timeval* tv, void* zone) {
  struct timespec now;
  struct timespec since;
  (void)zone;
  clock_gettime(CLOCK_REALTIME, &now);
  clock_gettime(CLOCK_MONOTONIC, &since);
  const long sinceMs = (since.tv_sec - g_loaded.tv_sec) * 1000 + (since.tv_nsec - g_loaded.tv_nsec) / 1000000;
  if (g_afterMs >= 0 && sinceMs >= g_afterMs) now.tv_sec += g_stepSeconds;
  tv->tv_sec = now.tv_sec;
  tv->tv_usec = now.tv_nsec / 1000;
  return 0;
}
