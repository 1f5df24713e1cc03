// The whole car under roslaunch; see car_launch.h.
#include "car_launch.h"

#include "gpio_board.h"

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

// The path of program in one of PATH's folders; "" when none has it.
std::string onPath(const std::string& program) {
  const char* path = getenv("PATH");
  std::istringstream folders(path ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    const std::string candidate = folder + "/" + program;
    if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The fields of /proc/PID/stat after the command name: state first.
std::vector<std::string> statFields(pid_t pid) {
  const std::string stat = readWhole("/proc/" + std::to_string(pid) + "/stat");
  std::vector<std::string> fields;
  const size_t end = stat.rfind(") ");
  if (end == std::string::npos) return fields;
  std::istringstream rest(stat.substr(end + 2));
  std::string field;
  while (rest >> field) fields.push_back(field);
  return fields;
}

}  // namespace

bool launchCar(Child* roslaunch, const std::string& dir, const std::vector<std::string>& launchArgs,
               std::string* error) {
  const std::string program = onPath("roslaunch");
  if (program.empty()) {
    if (error) *error = "no roslaunch on PATH";
    return false;
  }
  std::vector<std::string> argv = {program, "pelmora", "car.launch", "dir:=" + dir};
  argv.insert(argv.end(), launchArgs.begin(), launchArgs.end());
  return startChild(roslaunch, argv, "", {}, error, kClosedInput);
}

bool processRuns(pid_t pid) {
  const std::vector<std::string> fields = statFields(pid);
  return !fields.empty() && fields[0] != "Z";
}

std::vector<pid_t> launchedPrograms(pid_t roslaunch) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (const struct dirent* e = readdir(proc)) {
    const pid_t pid = atoi(e->d_name);
    if (pid <= 0) continue;
    const std::vector<std::string> fields = statFields(pid);
    // State, then the parent's pid.
    if (fields.size() > 1 && fields[0] != "Z" && atoi(fields[1].c_str()) == roslaunch) children.push_back(pid);
  }
  closedir(proc);
  return children;
}

pid_t launchedProgram(pid_t roslaunch, const std::string& node) {
  for (pid_t pid : launchedPrograms(roslaunch)) {
    std::string cmdline = readWhole("/proc/" + std::to_string(pid) + "/cmdline");
    if (cmdline.find(std::string("__name:=") + node + '\0') != std::string::npos) return pid;
  }
  return -1;
}

bool launchCarOnStandIns(LaunchedCar* car, std::string* error) {
  car->root = makeTempDir("/tmp/pelmora_car");
  if (car->root.empty()) {
    if (error) *error = "cannot make a temporary folder";
    return false;
  }
  setenv("ROS_HOME", (car->root + "/ros_home").c_str(), 1);
  if (!startGpioBoard(&car->sim, error)) return false;
  if (!startDriveController(&car->drive) || !startTachoController(&car->tacho)) {
    if (error) *error = "the serial controller stand-ins did not start";
    return false;
  }
  car->launchedAt = nowSeconds();
  return launchCar(&car->roslaunch, car->root + "/car", {}, error);
}

bool startConsole(LaunchedCar* car, std::string* error) {
  return startChild(&car->console, {programPath("drive_command")}, "", {}, error);
}

void pumpCar(LaunchedCar* car) {
  pumpOutput(&car->roslaunch, 0);
  pumpOutput(&car->console, 0);
  pumpOutput(&car->tacho, 0);
  updateDrive(&car->drive, 0);
}

double carPairArrival(LaunchedCar* car, int throttle, int steering, double after, double seconds) {
  return pairArrival(&car->drive, throttle, steering, after, seconds, [car] { pumpCar(car); });
}

void stopLaunchedCar(LaunchedCar* car) {
  // roslaunch's own bound: SIGTERM after 15 s, SIGKILL 2 s later.
  if (car->roslaunch.pid > 0 && !car->roslaunch.exited) kill(car->roslaunch.pid, SIGINT);
  waitUntil([car] { pumpCar(car); return car->roslaunch.pid <= 0 || waitExit(&car->roslaunch, 0); }, 20);
  stopChild(&car->roslaunch, SIGKILL, 5);
  stopChild(&car->console, SIGKILL, 5);
  stopChild(&car->drive.child, SIGTERM, 5);
  stopChild(&car->tacho, SIGTERM, 5);
  stopGpioBoard(&car->sim);
  removeTree(car->root);
}
