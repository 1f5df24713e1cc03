// Measurement rules of the tachometer node, free of I/O: its command line,
// when a window closes, the rpm of a window, when the node wakes from a
// wait, when its logs are written out, and the log file names.
#ifndef PELMORA_TACHOMETER_WINDOW_H
#define PELMORA_TACHOMETER_WINDOW_H

#include <stddef.h>

// A window also closes at the first level change this long after it began.
const double kWindowLimitMs = 1000.0;

// Level changes per minute and per change: one pulse, two changes, per turn.
const unsigned int kRpmFactor = 30000;

// A window in which the line has not changed for this long closes with 0
// rpm: the wheel stands still. Twice the time limit, so a wheel that
// changes level at least this often is measured as it turns.
const double kStillMs = 2 * kWindowLimitMs;

// After a failed read the line is read again this much later, so the GPIO
// library prints at most ten messages a second while it cannot be read.
const double kRetryMs = 100.0;

// Logged windows are written out to their files at most this often, and
// none waits longer.
const double kFlushMs = 1000.0;

// Room for each log file name.
const size_t kLogNameSize = 128;

// The raw log keeps its name whatever the arguments are.
extern const char kRawLogName[];

// counts and speed from the command line left over by ros::init:
// "[counts [speed]]", read with atoi; a missing one keeps its default.
void readArguments(int argc, char** argv, int* counts, int* speed);

// True while the window stays open after changes level changes, the latest
// elapsedMs after the window began. counts is compared as unsigned, so a
// negative counts leaves only the time limit.
bool windowOpen(unsigned int changes, int counts, double elapsedMs);

// Starts the next window after one has been published: it is measured in
// full, so a long window does not close the next one at once with 0 rpm.
void startNextWindow(unsigned int* changes, double* elapsedMs);

// True once the wheel counts as still: nowMs after the window began, its
// latest change changeMs after it began (0 when it has none).
bool wheelStill(double nowMs, double changeMs);

// Clock reading (ms) at which a wait for the line must end: when the wheel
// would count as still in the window begun at windowStartMs, or earlier
// when logged windows wait for a flush that is due then.
double wakeTime(double windowStartMs, double changeMs, bool unflushed, double flushedMs);

// True when logged windows wait and kFlushMs has passed since the flush at
// flushedMs.
bool flushDue(bool unflushed, double flushedMs, double nowMs);

// Whole milliseconds from nowMs to untilMs, rounded up so that a wait does
// not end early; 0 once untilMs has passed, at most limitMs.
int waitMs(double nowMs, double untilMs, int limitMs);

// Revolutions per minute for changes level changes in elapsedMs. A window
// without any change turned the wheel by nothing: 0, whatever its length.
double windowRpm(unsigned int changes, double elapsedMs);

// "files/tachs_counts_<counts>_speed_<speed>.txt" into name (kLogNameSize).
void rpmLogName(char* name, int counts, int speed);
// "files/times_counts_<counts>_speed_<speed>.txt" into name (kLogNameSize).
void durationLogName(char* name, int counts, int speed);

#endif
