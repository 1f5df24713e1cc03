// The tachometer node on the GPIO stand-in; see tachometer_run.h.
#include "tachometer_run.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>

#include "gpio_board.h"
#include "ros_master.h"

namespace {

std::string logName(const std::string& dir, const char* kind, const std::string& counts,
                    const std::string& speed) {
  return dir + "/files/" + kind + "_counts_" + counts + "_speed_" + speed + ".txt";
}

}  // namespace

bool startTachometerBoard(Child* sim, std::string* error) {
  if (!startGpioBoard(sim, error)) return false;
  for (const char* command : {"export 397", "wave 397 const 0"}) {
    const std::string reply = gpioBoard(command);
    if (reply.compare(0, 2, "ok") != 0) {
      if (error) *error = std::string(command) + ": " + reply;
      stopGpioBoard(sim);
      return false;
    }
  }
  return true;
}

int startTachometerBench(const char* name, TachometerBench* bench) {
  const char* boardDir = getenv("SIMBOARD_DIR");
  if (!boardDir) {
    fprintf(stderr, "%s: run me inside test/tools/simboard --bare\n", name);
    return 2;
  }
  bench->workDir = std::string(boardDir) + "/" + name;
  mkdir(bench->workDir.c_str(), 0755);
  const std::string rosHome = bench->workDir + "/ros_home";
  mkdir(rosHome.c_str(), 0755);
  setenv("ROS_HOME", rosHome.c_str(), 0);

  std::string error;
  if (!startTachometerBoard(&bench->sim, &error)) {
    fprintf(stderr, "%s: %s\n", name, error.c_str());
    return 1;
  }
  setenv("ROS_IP", "127.0.0.1", 1);
  if (!startRosMaster(&bench->rosmaster, &error)) {
    fprintf(stderr, "%s: %s\n", name, error.c_str());
    stopGpioBoard(&bench->sim);
    return 1;
  }
  return 0;
}

void stopTachometerBench(TachometerBench* bench) {
  stopChild(&bench->rosmaster, SIGINT, 10);
  stopGpioBoard(&bench->sim);
}

std::string makeTachometerDir(const std::string& parent) {
  const char* board = getenv("SIMBOARD_DIR");
  const std::string base = parent.empty() ? std::string(board ? board : "/tmp") : parent;
  const std::string dir = makeTempDir(base + "/tachometer");
  if (dir.empty()) return "";
  if (mkdir((dir + "/files").c_str(), 0755) != 0) {
    removeTree(dir);
    return "";
  }
  return dir;
}

bool startTachometer(Child* node, const std::string& dir, const std::vector<std::string>& args,
                     std::string* error, const std::vector<std::string>& env) {
  std::vector<std::string> argv = {programPath("tachometer")};
  argv.insert(argv.end(), args.begin(), args.end());
  return startChild(node, argv, dir, env, error);
}

std::string rpmLog(const std::string& dir, const std::string& counts, const std::string& speed) {
  return logName(dir, "tachs", counts, speed);
}

std::string durationLog(const std::string& dir, const std::string& counts, const std::string& speed) {
  return logName(dir, "times", counts, speed);
}

std::vector<double> readNumbers(const std::string& path) {
  std::vector<double> numbers;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) numbers.push_back(strtod(line.c_str(), nullptr));
  return numbers;
}

std::vector<LoggedWindow> readWindowLogs(const std::string& rpmLog, const std::string& durationLog) {
  const std::vector<double> rpms = readNumbers(rpmLog);
  const std::vector<double> durations = readNumbers(durationLog);
  std::vector<LoggedWindow> windows;
  for (size_t k = 0; k < rpms.size() && k < durations.size(); ++k)
    windows.push_back({rpms[k], durations[k], std::lround(rpms[k] * durations[k] / 30000.0)});
  return windows;
}

std::vector<LoggedWindow> wholeWindows(const std::vector<LoggedWindow>& windows) {
  size_t first = 0;
  while (first < windows.size() && windows[first].changes == 0) ++first;
  if (first + 2 >= windows.size()) return {};
  return std::vector<LoggedWindow>(windows.begin() + first + 1, windows.end() - 1);
}

long waveChangesUntilStill(int64_t beganNs, int64_t endedNs, int64_t intervalNs) {
  // Change k of the wave is at beganNs + k * intervalNs, k from 1.
  const long changes = static_cast<long>((endedNs - beganNs - 1) / intervalNs);
  return changes + changes % 2;
}
