#include "tacho_bench_board.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>

#include "gpio_board.h"
#include "ros_master.h"

int startTachoBench(const char* name, TachoBench* bench) {
  const char* boardDir = getenv("SIMBOARD_DIR");
  if (!boardDir) {
    fprintf(stderr, "%s: run me inside tools/simboard --bare\n", name);
    return 2;
  }
  bench->workDir = std::string(boardDir) + "/" + name;
  mkdir(bench->workDir.c_str(), 0755);
  const std::string rosHome = bench->workDir + "/ros_home";
  mkdir(rosHome.c_str(), 0755);
  setenv("ROS_HOME", rosHome.c_str(), 0);

  std::string error;
  if (!startGpioBoard(&bench->sim, &error)) {
    fprintf(stderr, "%s: %s\n", name, error.c_str());
    return 1;
  }
  gpioBoard("export 397");
  gpioBoard("wave 397 const 0");

  setenv("ROS_IP", "127.0.0.1", 1);
  if (!startRosMaster(&bench->rosmaster, &error)) {
    fprintf(stderr, "%s: %s\n", name, error.c_str());
    stopGpioBoard(&bench->sim);
    return 1;
  }
  return 0;
}

void stopTachoBench(TachoBench* bench) {
  stopChild(&bench->rosmaster, SIGINT, 10);
  stopGpioBoard(&bench->sim);
}

std::vector<double> readNumbers(const std::string& path) {
  std::vector<double> numbers;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) numbers.push_back(strtod(line.c_str(), nullptr));
  return numbers;
}
