// The shipped tachometer node as its tests and benchmarks run it: on the
// GPIO stand-in with line 397 exported, in a folder of its own with an
// empty files/ for its logs, and its two logs read back afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "process.h"

// Starts the GPIO stand-in (startGpioBoard) with line 397 exported and
// still at level 0.
bool startTachometerBoard(Child* sim, std::string* error);

// What a tachometer benchmark runs on: a work folder under the simulated
// board's own (ROS_HOME in it), the stand-in as startTachometerBoard leaves
// it, and a private ROS master.
struct TachometerBench {
  std::string workDir;
  Child sim;
  Child rosmaster;
};

// Sets it all up for the benchmark called name; on failure says why on
// stderr and returns the exit status to end with (non-zero), else 0.
int startTachometerBench(const char* name, TachometerBench* bench);
void stopTachometerBench(TachometerBench* bench);

// Makes parent/tachometer.XXXXXX (parent empty: the simulated board's own
// folder, else /tmp) with an empty files/; "" on failure.
std::string makeTachometerDir(const std::string& parent = "");

// Starts the node with args in dir, where it writes its logs, with the
// extra "NAME=value" entries in env.
bool startTachometer(Child* node, const std::string& dir, const std::vector<std::string>& args,
                     std::string* error, const std::vector<std::string>& env = {});

// The rpm log and the window-length log of a run with counts and speed.
std::string rpmLog(const std::string& dir, const std::string& counts, const std::string& speed);
std::string durationLog(const std::string& dir, const std::string& counts, const std::string& speed);

// Lines of a log read as numbers ("nan" included); empty when missing.
std::vector<double> readNumbers(const std::string& path);

// One window as the two logs hold it.
struct LoggedWindow {
  double rpm;
  double elapsedMs;
  long changes;  // rpm * elapsed / 30000, rounded
};

// Both logs side by side, as many windows as the shorter one holds.
std::vector<LoggedWindow> readWindowLogs(const std::string& rpmLog, const std::string& durationLog);

// The whole windows of a run that ended by the interrupt: those after the
// first window with a change (it began before the wheel turned, and the
// still line before it reads 0 every 2 s) and before the last one (cut by
// the interrupt).
std::vector<LoggedWindow> wholeWindows(const std::vector<LoggedWindow>& windows);

// Level changes of a wave with a change every intervalNs, started at
// beganNs (from level 0) and stilled at endedNs at level 0: a high level at
// the switch makes one more change, to 0.
long waveChangesUntilStill(int64_t beganNs, int64_t endedNs, int64_t intervalNs);
