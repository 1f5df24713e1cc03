// The simulated board both tachometer benchmarks run on: a work folder under
// the board's own, the GPIO stand-in with line 397 exported and still, and a
// private ROS master on a free port.
#pragma once

#include <string>
#include <vector>

#include "process.h"

struct TachoBench {
  std::string workDir;
  Child sim;
  Child rosmaster;
};

// Sets it all up for the benchmark called name; on failure says why on
// stderr and returns the exit status to end with (non-zero), else 0.
int startTachoBench(const char* name, TachoBench* bench);
void stopTachoBench(TachoBench* bench);

// The numbers of a tachometer log, one a line.
std::vector<double> readNumbers(const std::string& path);
