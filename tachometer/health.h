// The tachometer's health as /diagnostics reports it, free of I/O: what
// the node knows of the last second and the level and message it makes.
#ifndef PELMORA_TACHOMETER_HEALTH_H
#define PELMORA_TACHOMETER_HEALTH_H

#include <string>

// Levels of diagnostic_msgs/DiagnosticStatus.
const int kHealthOk = 0;
const int kHealthWarn = 1;
const int kHealthStale = 3;

// Nothing published for this long while the line changes: stale.
const double kStaleMs = 2000.0;

struct HealthFacts {
  double windowsPerSecond;
  long long lostSinceStart;  // -1: losses cannot be counted in this mode
  long long lostLastSecond;
  bool lineReadable;
  double sinceChangeMs;   // time since the latest change; < 0: none yet
  double sincePublishMs;  // time since the latest window was published
};

// The level (kHealth*) and a one-line message saying why.
int healthLevel(const HealthFacts& facts, std::string* message);

#endif
