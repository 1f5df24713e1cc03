// The whole car as it runs: `roslaunch pelmora car.launch` on stand-ins
// the caller started (inside tools/simboard --bare), with no terminal, and
// what a test or benchmark sees of the programs roslaunch runs.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "process.h"

// Starts roslaunch (found on PATH) with car.launch, the car's folder dir
// and launchArgs (NAME:=VALUE), its standard input closed. It uses the
// master at ROS_MASTER_URI, or starts one there.
bool launchCar(Child* roslaunch, const std::string& dir, const std::vector<std::string>& launchArgs,
               std::string* error);

// The processes roslaunch runs now (its children, zombies left out).
std::vector<pid_t> launchedPrograms(pid_t roslaunch);

// The one roslaunch runs now under the launch file's node name (its
// __name:= argument); -1 when none runs.
pid_t launchedProgram(pid_t roslaunch, const std::string& node);

// A process that runs: there, and not a zombie (nothing here reaps orphans).
bool processRuns(pid_t pid);
