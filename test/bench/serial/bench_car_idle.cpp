// The whole car on the simulated board (gpio_hold, the tachometer, the
// camera launcher with the camera stand-in, both bridges, teleop_files and
// drive_command), in two configurations: the defaults (polling tachometer,
// plain command writer, each program started here) and the car as it runs
// (roslaunch with car.launch: tachometer --edges, serial --watch with its
// 500 ms freshness bound, teleop_files rewriting the files every 90 ms
// while driving, and roslaunch itself, which looks at its programs every
// 0.1 s; drive_command started here). For each: every program's share of
// one core over SECONDS at rest, then over SECONDS with the wheel at 3000
// rpm and a command typed at drive_command every 100 ms, with the car's
// total (the ROS master and the stand-ins not counted); and, in the same
// run, the latency from a change of the throttle file (teleop_files'
// rename) to its pair complete at the drive controller stand-in, median
// and p99.
//   test/tools/simboard --bare -- devel/lib/pelmora/bench_car_idle [SECONDS]
#include <poll.h>
#include <ros/ros.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bridge_harness.h"
#include "car_launch.h"
#include "figures.h"
#include "gpio_board.h"
#include "process_watch.h"
#include "ros_graph.h"
#include "tachometer_run.h"

namespace {

const char* const kName = "bench_car_idle";

struct Config {
  const char* name;
  bool launched;  // roslaunch with car.launch; else each program started here, with:
  std::vector<std::string> tachometerArgs;
  std::string writerWord;
};

// The car's programs, in the order they start; they stop the other way.
// roslaunch runs the first six in the car's configuration.
enum Program { kGpioHold, kTachometer, kCamera, kWriter, kReader, kTeleop, kDrive, kRoslaunch, kPrograms };
const char* const kProgramNames[kPrograms] = {"gpio_hold", "tachometer", "camera_launcher", "serial (writer)",
                                              "serial read", "teleop_files", "drive_command", "roslaunch"};
// Their node names in car.launch.
const char* const kLaunchNames[kDrive] = {"gpio_hold", "tachometer", "camera_launcher",
                                          "serial_write", "serial_read", "teleop_files"};

struct Car {
  CommandTree tree;          // the defaults: the bridge's folders
  std::string dir;           // the car's configuration: its folder (dir:=)
  std::string teleopFolder;  // where teleop_files writes the command files
  std::string tachometerDir;
  Child programs[kPrograms];  // those started here
  pid_t pids[kPrograms];      // every program's, once the car runs
  DriveController drive;
  Child tacho;
};

// A throttle file change as the watcher saw it.
struct Change {
  double at;
  int throttle;
};

// The watcher of the throttle file: its changes of value (teleop_files
// also rewrites it unchanged). Its thread writes changes until running is
// false; main reads them once the thread is joined.
struct ChangeWatch {
  std::string folder;
  std::atomic<bool> running{true};
  std::vector<Change> changes;
  bool realTime = false;
};

// Observers get a real-time priority so that their time stamps are taken
// when things happen, not when a core is free on a loaded board. Pid 0 is
// the calling thread.
bool makeRealTime(pid_t pid) {
  struct sched_param param = {};
  param.sched_priority = 10;
  return sched_setscheduler(pid, SCHED_FIFO, &param) == 0;
}

void watchChanges(ChangeWatch* watch) {
  watch->realTime = makeRealTime(0);
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  inotify_add_watch(fd, watch->folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
  alignas(struct inotify_event) char buf[4096];
  while (watch->running) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const double at = nowSeconds();
    ssize_t n = read(fd, buf, sizeof buf);
    for (ssize_t i = 0; i < n;) {
      const struct inotify_event* e = reinterpret_cast<const struct inotify_event*>(buf + i);
      i += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
      if (e->len == 0 || strcmp(e->name, "throttle.txt") != 0) continue;
      std::ifstream file(watch->folder + "/throttle.txt");
      int throttle = 0;
      if (!(file >> throttle) || (!watch->changes.empty() && watch->changes.back().throttle == throttle)) continue;
      watch->changes.push_back(Change{at, throttle});
    }
  }
  close(fd);
}

void pumpAll(Car* car) {
  for (Child& child : car->programs) pumpOutput(&child, 0);
  pumpOutput(&car->tacho, 0);
  updateDrive(&car->drive, 0);
}

// Waits until ready() holds, keeping every output drained; says which
// program was not ready when it does not.
bool waitReady(Car* car, const char* what, std::function<bool()> ready) {
  if (waitUntil([&] { pumpAll(car); return ready(); }, 30)) return true;
  fprintf(stderr, "%s: %s not ready after 30 s\n", kName, what);
  return false;
}

bool startProgram(Car* car, Program p, const std::vector<std::string>& argv, const std::string& dir,
                  const std::vector<std::string>& env = {}) {
  std::string error;
  if (startChild(&car->programs[p], argv, dir, env, &error)) return true;
  fprintf(stderr, "%s: %s\n", kName, error.c_str());
  return false;
}

bool startStandIns(Car* car) {
  if (!startDriveController(&car->drive) || !startTachoController(&car->tacho, {"--period", "500"})) {
    fprintf(stderr, "%s: the serial stand-ins did not start\n", kName);
    return false;
  }
  if (!makeRealTime(car->drive.child.pid)) printf("  (the drive controller stand-in runs at normal priority)\n");
  return true;
}

bool startDriveCommand(Car* car, const std::string& workDir) {
  return startProgram(car, kDrive, {programPath("drive_command")}, workDir) &&
         waitReady(car, "drive_command", [] { return lookupNode("/serial_writer"); });
}

// The defaults: each program started here, in order, once the one before is ready.
bool startEachProgram(Car* car, const Config& config, const std::string& workDir) {
  car->tree = makeCommandTree();
  car->teleopFolder = car->tree.teleop;
  writeCommandFiles(car->tree, kBuilds[0], 1600, 90);
  if (!startStandIns(car)) return false;
  Child* programs = car->programs;
  std::string error;
  car->tachometerDir = makeTachometerDir(workDir);
  const std::string cameraPath = std::string("ROS_PACKAGE_PATH=") + PELMORA_SOURCE_DIR "/test/standins/camera:" +
                                 (getenv("ROS_PACKAGE_PATH") ? getenv("ROS_PACKAGE_PATH") : "");
  return startProgram(car, kGpioHold, {programPath("gpio_hold")}, workDir) &&
         waitReady(car, "gpio_hold", [] { return access("/sys/class/gpio/gpio397/value", F_OK) == 0; }) &&
         gpioBoard("wave 397 const 0").compare(0, 2, "ok") == 0 &&
         startTachometer(&programs[kTachometer], car->tachometerDir, config.tachometerArgs, &error) &&
         waitReady(car, "tachometer", [] { return lookupNode("/tachometer"); }) &&
         startProgram(car, kCamera, {programPath("camera_launcher")}, workDir, {cameraPath}) &&
         waitReady(car, "camera_launcher", [&] {
           return programs[kCamera].outText.find("camera stand-in: loaded") != std::string::npos;
         }) &&
         startBridge(&programs[kWriter], "serial", {config.writerWord}, car->tree.run) &&
         waitReady(car, "serial writer", [&] { return programs[kWriter].outText.find("port is open.") == 0; }) &&
         startBridge(&programs[kReader], "serial", {"read"}, car->tree.run) &&
         waitReady(car, "serial read", [&] { return programs[kReader].outText.find("port is open.") == 0; }) &&
         startProgram(car, kTeleop, {programPath("teleop_files"), car->tree.teleop}, workDir) &&
         waitReady(car, "teleop_files", [] { return lookupNode("/teleop_files"); }) &&
         startDriveCommand(car, workDir);
}

// The car as it runs: roslaunch with car.launch (it uses the benchmark's
// master, so it starts no rosout), then drive_command.
bool launchTheCar(Car* car, const std::string& workDir) {
  car->dir = makeTempDir(workDir + "/car");
  car->teleopFolder = car->dir + "/teleop";
  if (car->dir.empty() || !startStandIns(car)) return false;
  std::string error;
  if (!launchCar(&car->programs[kRoslaunch], car->dir, {}, &error)) {
    fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return false;
  }
  const Child& launch = car->programs[kRoslaunch];
  if (!waitReady(car, "the launched car", [&] {
        return lookupNode("/tachometer") && lookupNode("/camera_launcher") && lookupNode("/teleop_files") &&
               countOf(launch.outText, "port is open.\n") >= 2 &&
               launch.outText.find("camera stand-in: loaded") != std::string::npos;
      })) {
    return false;
  }
  for (int p = 0; p < kDrive; ++p) car->pids[p] = launchedProgram(launch.pid, kLaunchNames[p]);
  return gpioBoard("wave 397 const 0").compare(0, 2, "ok") == 0 && startDriveCommand(car, workDir);
}

bool startCar(Car* car, const Config& config, const std::string& workDir) {
  for (pid_t& pid : car->pids) pid = -1;
  const bool started = config.launched ? launchTheCar(car, workDir) : startEachProgram(car, config, workDir);
  for (int p = 0; p < kPrograms; ++p)
    if (car->programs[p].pid > 0) car->pids[p] = car->programs[p].pid;
  return started;
}

// Each its own way, in the reverse order (roslaunch, after drive_command,
// stops those it runs); killed if it does not end.
void stopCar(Car* car) {
  Child* programs = car->programs;
  const std::string consoleStop[kPrograms] = {"0\n", "", "", "0\n", "0\n", "", "\n0\n", ""};
  const Program order[] = {kDrive, kRoslaunch, kTeleop, kReader, kWriter, kCamera, kTachometer, kGpioHold};
  for (Program p : order) {
    if (programs[p].pid <= 0) continue;
    if (consoleStop[p].empty()) {
      kill(programs[p].pid, SIGINT);
    } else {
      writeInput(&programs[p], consoleStop[p]);
    }
    if (!waitUntil([&] { pumpAll(car); return waitExit(&programs[p], 0); }, 30)) {
      fprintf(stderr, "%s: %s did not stop; killed\n", kName, kProgramNames[p]);
    }
    stopChild(&programs[p], SIGKILL, 5);
  }
  stopChild(&car->drive.child, SIGTERM, 5);
  stopChild(&car->tacho, SIGTERM, 5);
  removeCommandTree(car->tree);
  removeTree(car->tachometerDir);
  removeTree(car->dir);
}

// Runs for seconds with every output drained, typing a throttle command at
// drive_command every 100 ms when typing (each one differs from the last).
void runFor(Car* car, double seconds, bool typing) {
  const double end = nowSeconds() + seconds;
  double nextType = nowSeconds();
  int typed = 0;
  while (nowSeconds() < end) {
    if (typing && nowSeconds() >= nextType) {
      writeInput(&car->programs[kDrive], "t" + std::to_string(1610 + 10 * (typed++ % 20)) + "\n");
      nextType += 0.1;
    }
    pumpAll(car);
    struct timespec pause = {0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

// Each program's share of one core over a run of seconds; the last two
// entries are the ROS master and the stand-ins together.
std::vector<double> measure(Car* car, const Child& master, const Child& sim, double seconds, bool typing) {
  std::vector<pid_t> pids(car->pids, car->pids + kPrograms);
  pids.push_back(master.pid);
  std::vector<pid_t> standIns = {sim.pid, car->drive.child.pid, car->tacho.pid};
  auto cpuNow = [&] {
    std::vector<double> cpu;
    for (pid_t pid : pids) cpu.push_back(cpuSeconds(pid));
    double standInCpu = 0;
    for (pid_t pid : standIns) standInCpu += cpuSeconds(pid);
    cpu.push_back(standInCpu);
    return cpu;
  };
  const std::vector<double> before = cpuNow();
  const double began = nowSeconds();
  runFor(car, seconds, typing);
  const std::vector<double> after = cpuNow();
  const double wall = nowSeconds() - began;
  std::vector<double> share;
  for (size_t i = 0; i < before.size(); ++i) share.push_back((after[i] - before[i]) / wall);
  return share;
}

// For each change, the time from it to the first complete pair at or after
// it that carries its throttle; *unmatched counts changes with none.
std::vector<double> latencies(const DriveController& drive, const std::vector<Change>& changes, int* unmatched) {
  const std::vector<DrivePair> pairs = drivePairs(drive);
  std::vector<double> result;
  *unmatched = 0;
  for (const Change& change : changes) {
    const int byte = ((change.throttle - 1000) / 10) & 0xFF;
    size_t i = 0;
    while (i < pairs.size() && (pairs[i].time < change.at || pairs[i].throttle != byte)) ++i;
    if (i < pairs.size()) {
      result.push_back(pairs[i].time - change.at);
    } else {
      ++*unmatched;
    }
  }
  return result;
}

struct Result {
  std::vector<double> rest;
  std::vector<double> use;
  Figures latency;
  size_t samples;
  int unmatched;
};

double carTotal(const std::vector<double>& share) {
  double total = 0;
  for (int p = 0; p < kPrograms; ++p) total += share[p];
  return total;
}

bool runConfig(const Config& config, TachometerBench* bench, double seconds, Result* result) {
  printf("== %s\n", config.name);
  fflush(stdout);
  Car car;
  bool ok = startCar(&car, config, bench->workDir);
  if (ok) {
    runFor(&car, 2, false);  // start-up settles
    result->rest = measure(&car, bench->rosmaster, bench->sim, seconds, false);
    gpioBoard("wave 397 rpm 3000");
    ChangeWatch watch;
    watch.folder = car.teleopFolder;
    std::thread watcher(watchChanges, &watch);
    result->use = measure(&car, bench->rosmaster, bench->sim, seconds, true);
    runFor(&car, 0.5, false);  // the last change's pair arrives
    watch.running = false;
    watcher.join();
    gpioBoard("wave 397 const 0");
    if (!watch.realTime) printf("  (the change watcher runs at normal priority)\n");
    std::vector<double> times = latencies(car.drive, watch.changes, &result->unmatched);
    result->latency = figuresOf(times);
    result->samples = times.size();
  }
  stopCar(&car);
  return ok;
}

void printResult(const Result& r) {
  printf("  %-22s %10s %22s\n", "program", "at rest", "3000 rpm, commands");
  for (int p = 0; p < kPrograms; ++p)
    printf("  %-22s %8.2f %% %20.2f %%\n", kProgramNames[p], r.rest[p] * 100, r.use[p] * 100);
  printf("  %-22s %8.2f %% %20.2f %%\n", "car total", carTotal(r.rest) * 100, carTotal(r.use) * 100);
  printf("  not counted: ROS master %.2f %% / %.2f %%, stand-ins %.2f %% / %.2f %%\n", r.rest[kPrograms] * 100,
         r.use[kPrograms] * 100, r.rest[kPrograms + 1] * 100, r.use[kPrograms + 1] * 100);
  printf("  command file change to pair on the line: median %.2f ms, p99 %.2f ms (n=%zu, %d unmatched)\n",
         r.latency.median * 1000, r.latency.p99 * 1000, r.samples, r.unmatched);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 30;
  if (seconds <= 0) {
    fprintf(stderr, "usage: %s [SECONDS]\n", kName);
    return 2;
  }
  TachometerBench bench;
  int status = startTachometerBench(kName, &bench);
  if (status != 0) return status;
  ros::init(argc, argv, kName, ros::init_options::NoSigintHandler | ros::init_options::AnonymousName);

  const Config configs[2] = {{"defaults: tachometer polling, serial write", false, {}, "write"},
                             {"the car as it runs: roslaunch with car.launch", true, {}, ""}};
  Result results[2];
  for (int c = 0; c < 2 && status == 0; ++c) {
    if (runConfig(configs[c], &bench, seconds, &results[c])) {
      printResult(results[c]);
    } else {
      status = 1;
    }
  }
  stopTachometerBench(&bench);
  if (status != 0) return status;
  printf("== the car's configuration against the goals\n");
  printf("  at rest %.2f %% of one core (goal at most 3 %%), at 3000 rpm with commands %.2f %% (at most 6 %%)\n",
         carTotal(results[1].rest) * 100, carTotal(results[1].use) * 100);
  printf("  latency median %.2f ms, p99 %.2f ms; with the plain writer %.2f ms, %.2f ms\n",
         results[1].latency.median * 1000, results[1].latency.p99 * 1000, results[0].latency.median * 1000,
         results[0].latency.p99 * 1000);
  return 0;
}
