// Measurement rules of the tachometer node, free of I/O: its command line,
// when a window closes, the rpm of a window and the log file names.
#ifndef PELMORA_TACHOMETER_WINDOW_H
#define PELMORA_TACHOMETER_WINDOW_H

#include <stddef.h>

// A window also closes at the first level change this long after it began.
const double kWindowLimitMs = 1000.0;

// Level changes per minute and per change: one pulse, two changes, per turn.
const unsigned int kRpmFactor = 30000;

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

// Revolutions per minute for changes level changes in elapsedMs. A window
// without any change turned the wheel by nothing: 0, whatever its length.
double windowRpm(unsigned int changes, double elapsedMs);

// "files/tachs_counts_<counts>_speed_<speed>.txt" into name (kLogNameSize).
void rpmLogName(char* name, int counts, int speed);
// "files/times_counts_<counts>_speed_<speed>.txt" into name (kLogNameSize).
void durationLogName(char* name, int counts, int speed);

#endif
