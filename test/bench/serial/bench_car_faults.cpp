// The car as it runs (roslaunch with car.launch, on the stand-ins, with
// the master roslaunch starts): how long it takes to come up, and how long
// each fault between the operator's console and the wire leaves it
// driving. The faults: the serial writer killed (roslaunch starts it
// again, neutral first), teleop_files stopped (the writer's freshness
// bound), drive_command killed (teleop_files' deadman). For each, ROUNDS
// times (default 10), the time from the fault to the neutral pair complete
// at the drive controller stand-in, median and worst.
//   test/tools/simboard --bare -- devel/lib/pelmora/bench_car_faults [ROUNDS]
#include <ros/ros.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "car_launch.h"
#include "ros_graph.h"
#include "ros_master.h"

namespace {

const char* const kName = "bench_car_faults";

// t1700 and s60 on the wire, and the neutral pair.
const int kThrottle = 70, kSteering = 196;
const int kNeutralThrottleByte = 60, kNeutralSteeringByte = 166;

struct Fault {
  const char* name;
  std::function<bool(LaunchedCar*)> cause;  // false when it could not be caused
  std::function<bool(LaunchedCar*)> end;    // undoes it; false when that failed
};

bool waitNode(LaunchedCar* car, const char* node) {
  return waitUntil([&] { pumpCar(car); return lookupNode(node); }, 30);
}

// A drive_command typing t1700 and s60.
bool startOperator(LaunchedCar* car) {
  std::string error;
  return startConsole(car, &error) && waitNode(car, "/serial_writer") && writeInput(&car->console, "t1700\ns60\n");
}

bool killProgram(LaunchedCar* car, const char* node, int sig) {
  const pid_t pid = launchedProgram(car->roslaunch.pid, node);
  return pid > 0 && kill(pid, sig) == 0;
}

const Fault kFaults[] = {
    {"the writer killed (respawned)", [](LaunchedCar* car) { return killProgram(car, "serial_write", SIGKILL); },
     [](LaunchedCar*) { return true; }},
    {"teleop_files stopped (the writer's bound)",
     [](LaunchedCar* car) { return killProgram(car, "teleop_files", SIGSTOP); },
     [](LaunchedCar* car) { return killProgram(car, "teleop_files", SIGCONT); }},
    {"drive_command killed (the deadman)",
     [](LaunchedCar* car) {
       stopChild(&car->console, SIGKILL, 5);
       car->console = Child();
       return true;
     },
     startOperator},
};

void printFigures(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  if (ms.empty()) return;
  const double median = ms.size() % 2 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2;
  printf("  %-44s median %6.0f ms, worst %6.0f ms (n=%zu)\n", what, median, ms.back(), ms.size());
  fflush(stdout);
}

// Every round of every fault; false when the car did not come back.
bool runFaults(LaunchedCar* car, int rounds) {
  for (const Fault& fault : kFaults) {
    std::vector<double> ms;
    for (int round = 0; round < rounds; ++round) {
      const double at = nowSeconds();
      if (!fault.cause(car)) {
        fprintf(stderr, "%s: %s: could not be caused\n", kName, fault.name);
        return false;
      }
      const double rest = carPairArrival(car, kNeutralThrottleByte, kNeutralSteeringByte, at, 10);
      if (rest < 0 || !fault.end(car) || carPairArrival(car, kThrottle, kSteering, rest, 30) < 0) {
        fprintf(stderr, "%s: %s: the car did not %s\n", kName, fault.name, rest < 0 ? "rest" : "drive again");
        return false;
      }
      ms.push_back((rest - at) * 1000);
    }
    printFigures(fault.name, ms);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? atoi(argv[1]) : 10;
  if (rounds <= 0) {
    fprintf(stderr, "usage: %s [ROUNDS]\n", kName);
    return 2;
  }
  const int port = freeLoopbackPort();
  if (port < 0) return 1;
  // roslaunch finds no master there and starts its own, as on the car.
  setenv("ROS_MASTER_URI", loopbackMasterUri(port).c_str(), 1);
  setenv("ROS_HOSTNAME", "127.0.0.1", 1);
  ros::init(argc, argv, kName, ros::init_options::NoSigintHandler | ros::init_options::AnonymousName);

  LaunchedCar car;
  std::string error;
  bool ok = launchCarOnStandIns(&car, &error);
  if (!ok) fprintf(stderr, "%s: %s\n", kName, error.c_str());
  const double neutral = ok ? carPairArrival(&car, kNeutralThrottleByte, kNeutralSteeringByte, car.launchedAt, 30) : -1;
  ok = ok && neutral > 0 && waitNode(&car, "/tachometer") && waitNode(&car, "/camera_launcher") &&
       waitNode(&car, "/teleop_files");
  if (ok) {
    printf("== the car under roslaunch, on the simulated board\n");
    printf("  from roslaunch's start: the writer's first neutral pair %.2f s, every node registered %.2f s\n",
           neutral - car.launchedAt, nowSeconds() - car.launchedAt);
    printf("== from the fault to the neutral pair at the drive controller, %d rounds each\n", rounds);
    fflush(stdout);
    ok = startOperator(&car) && carPairArrival(&car, kThrottle, kSteering, nowSeconds() - 1, 30) > 0 &&
         runFaults(&car, rounds);
  }
  if (!ok) fprintf(stderr, "%s: failed; roslaunch printed:\n%s\n", kName, car.roslaunch.outText.c_str());
  if (car.console.pid > 0) writeInput(&car.console, "0\n");
  stopLaunchedCar(&car);
  return ok ? 0 : 1;
}
