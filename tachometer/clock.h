// Elapsed-time clock of the tachometer node: milliseconds since initTimer
// on the monotonic clock. A board without a battery clock steps its time
// of day when NTP first syncs after boot; the monotonic clock never steps.
#ifndef PELMORA_TACHOMETER_CLOCK_H
#define PELMORA_TACHOMETER_CLOCK_H

#include <stdint.h>
#include <time.h>

// Sets the clock's reference to now.
void initTimer();

// Milliseconds since the last initTimer.
double millis();

// The same clock's reading for a CLOCK_MONOTONIC time in nanoseconds, as
// the kernel stamps line events.
double millisAt(int64_t monotonicNs);

// Milliseconds from begin to end; seconds and nanoseconds are subtracted
// separately as whole numbers, so a borrow between them needs no care.
double millisBetween(const struct timespec& begin, const struct timespec& end);

#endif
