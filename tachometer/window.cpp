// Measurement rules of the tachometer node; see window.h.
#include "window.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

const char kRawLogName[] = "files/raw_2000.txt";

void readArguments(int argc, char** argv, int* counts, int* speed) {
  *counts = argc > 1 ? atoi(argv[1]) : 5;
  *speed = argc > 2 ? atoi(argv[2]) : 2000;
}

bool windowOpen(unsigned int changes, int counts, double elapsedMs) {
  return changes < static_cast<unsigned int>(counts) && elapsedMs < kWindowLimitMs;
}

void startNextWindow(unsigned int* changes, double* elapsedMs) {
  *changes = 0;
  *elapsedMs = 0.0;
}

bool wheelStill(double nowMs, double changeMs) { return nowMs - changeMs >= kStillMs; }

double wakeTime(double windowStartMs, double changeMs, bool unflushed, double flushedMs) {
  const double still = windowStartMs + changeMs + kStillMs;
  const double flush = flushedMs + kFlushMs;
  return unflushed && flush < still ? flush : still;
}

bool flushDue(bool unflushed, double flushedMs, double nowMs) { return unflushed && nowMs - flushedMs >= kFlushMs; }

int waitMs(double nowMs, double untilMs, int limitMs) {
  const double left = ceil(untilMs - nowMs);
  if (left <= 0.0) return 0;
  return left < limitMs ? static_cast<int>(left) : limitMs;
}

double windowRpm(unsigned int changes, double elapsedMs) {
  if (changes == 0) return 0.0;
  // Unsigned 32-bit product: a window cannot hold the 143166 changes that wrap it.
  return static_cast<double>(changes * kRpmFactor) / elapsedMs;
}

void rpmLogName(char* name, int counts, int speed) {
  snprintf(name, kLogNameSize, "files/tachs_counts_%d_speed_%d.txt", counts, speed);
}

void durationLogName(char* name, int counts, int speed) {
  snprintf(name, kLogNameSize, "files/times_counts_%d_speed_%d.txt", counts, speed);
}
