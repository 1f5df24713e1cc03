// Elapsed-time clock of the tachometer node: milliseconds since initTimer,
// read from the time of day with microsecond resolution.
#ifndef PELMORA_TACHOMETER_CLOCK_H
#define PELMORA_TACHOMETER_CLOCK_H

#include <sys/time.h>

// Sets the clock's reference to now.
void initTimer();

// Milliseconds since the last initTimer.
double millis();

// Milliseconds from begin to end; seconds and microseconds are subtracted
// separately as whole numbers, so a borrow between them needs no care.
double millisBetween(const struct timeval& begin, const struct timeval& end);

#endif
