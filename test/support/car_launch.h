// The whole car as it runs: `roslaunch pelmora car.launch` on stand-ins
// the caller started (inside test/tools/simboard --bare), with no terminal, and
// what a test or benchmark sees of the programs roslaunch runs.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "bridge_harness.h"
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

// The car under roslaunch on stand-ins of its own (the GPIO stand-in and
// both serial controllers), its folder and ROS_HOME in a temporary folder,
// and the operator's drive_command once started.
struct LaunchedCar {
  std::string root;  // the car's folder is root/car, ROS_HOME root/ros_home
  Child sim, tacho, roslaunch, console;
  DriveController drive;
  double launchedAt = 0;  // when roslaunch was started
};

// Starts the stand-ins, then roslaunch with car.launch; false and *error
// when something did not start.
bool launchCarOnStandIns(LaunchedCar* car, std::string* error);
// Starts drive_command with a console to type at.
bool startConsole(LaunchedCar* car, std::string* error);
// Drains every output and reads the drive controller's record.
void pumpCar(LaunchedCar* car);
// pairArrival for the car, pumping it meanwhile.
double carPairArrival(LaunchedCar* car, int throttle, int steering, double after, double seconds);
// Stops everything (roslaunch with SIGINT, as Ctrl-C does), bounded, and
// removes the temporary folder.
void stopLaunchedCar(LaunchedCar* car);
