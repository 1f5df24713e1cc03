// The demo's pure logic: its scripted run, and the comparisons its report
// makes. Shared by the demo programs and their tests.
#pragma once

#include <string>
#include <vector>

struct ScenarioStep {
  double at;            // seconds after the demo's start
  double rpm;           // new wheel speed, 0 for no change
  std::string console;  // a line for drive_command's console, empty for none
};

// The default run: the wheel at rpm, then faster and slower, while the
// operator drives forward, steers, and comes back to neutral before the end.
std::vector<ScenarioStep> demoScenario(double rpm, double seconds);

struct Sample {
  double t;      // seconds since the demo's start
  double value;  // rpm
};

struct RpmSegment {
  double trueRpm;
  double meanPublished;
  double errorPercent;  // of the mean published against the truth
  int windows;
};

// Groups the published values by the true speed in force when they came,
// leaving out those less than settle seconds after a change of speed.
std::vector<RpmSegment> compareRpm(const std::vector<Sample>& truth, const std::vector<Sample>& published,
                                   double settle);

struct DriveSummary {
  size_t distinctPairs = 0;
  std::string first = "-";
  std::string last = "-";
  bool lastIsNeutral = false;
};

// The pairs the drive controller received; neutral is 60,166.
DriveSummary summarizeDrive(const std::vector<int>& bytes);

// The bytes the drive controller stand-in received, in order, from its record.
std::vector<int> readDriveRecordBytes(const std::string& path);
