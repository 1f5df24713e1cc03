// Tachometer node on the real kernel: inside the x86-64 kernelboard guest
// (the host's userspace on Debian's kernel), line 397 is gpio-mockup's, its
// level toggled through debugfs by a real-time thread of this program that
// notes when it made each change. The node runs in each mode (polling,
// --edges, --events and --events forced to v1), at four rates, idle and
// beside two busy loops; each run prints the changes made, seen and
// reported lost, and how far each 5-change window's length is from the
// toggler's own times for the same changes. Then each mode's CPU share at
// 3000 rpm.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <ros/ros.h>

#include "pelmora/Tachometer.h"
#include "process.h"
#include "process_watch.h"
#include "ros_graph.h"
#include "tachometer_run.h"

namespace {

struct Mode {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> env;
  bool exported;  // the line exported through sysfs, as gpio_hold leaves it
};

const Mode kModes[] = {
    {"polling", {}, {}, true},
    {"edges", {"--edges"}, {}, true},
    {"events v2", {"--events"}, {}, false},
    {"events v1", {"--events"}, {"PELMORA_GPIO_EVENTS=v1"}, false},
};

std::string mockupFile() {
  std::string chip;
  for (int n = 0; n < 16 && chip.empty(); ++n) {
    const std::string dir = "/sys/kernel/debug/gpio-mockup/gpiochip" + std::to_string(n);
    if (access(dir.c_str(), F_OK) == 0) chip = dir;
  }
  return chip + "/13";
}

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int64_t monotonicNow() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// gpio-mockup's debugfs file takes each write whole and has no seek.
void setLevel(int fd, int level) {
  const char c = level ? '1' : '0';
  if (write(fd, &c, 1) != 1) perror("kernelbench_tachometer: debugfs");
}

// Makes changes level changes every intervalNs from level 0, at real-time
// priority as a wheel is not slowed by the board's load; the time of each
// change (the middle of its write) into *at.
void toggle(int fd, long changes, int64_t intervalNs, std::vector<int64_t>* at) {
  struct sched_param param = {};
  param.sched_priority = 10;
  sched_setscheduler(0, SCHED_FIFO, &param);
  int64_t next = monotonicNow();
  for (long k = 1; k <= changes; ++k) {
    next += intervalNs;
    struct timespec wake = {static_cast<time_t>(next / 1000000000), static_cast<long>(next % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
    const int64_t before = monotonicNow();
    setLevel(fd, static_cast<int>(k % 2));
    at->push_back((before + monotonicNow()) / 2);
  }
}

// Two threads that never sleep, until stop.
struct BusyLoops {
  std::atomic<int> stop{0};
  std::vector<std::thread> threads;
};

void startBusy(BusyLoops* busy) {
  busy->stop = 0;
  for (int k = 0; k < 2; ++k) {
    busy->threads.emplace_back([busy] {
      volatile unsigned long spins = 0;
      while (!busy->stop) ++spins;
    });
  }
}

void stopBusy(BusyLoops* busy) {
  busy->stop = 1;
  for (std::thread& t : busy->threads) t.join();
  busy->threads.clear();
}

// The node's read calls so far, from /proc/PID/io.
long readCalls(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  long value = -1;
  while (in >> key >> value) {
    if (key == "syscr:") return value;
  }
  return -1;
}

// Only the subscription matters: it tells when the node publishes.
void ignore(const pelmora::Tachometer::ConstPtr&) {}

long countOf(const std::string& text, const std::string& needle) {
  long n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// True once the node listens to the line in its mode: it reads it, waits
// on its edges, or holds it.
bool listening(const Mode& mode, const Child& node) {
  if (mode.args.empty()) {
    const long before = readCalls(node.pid);
    usleep(20000);
    return readCalls(node.pid) - before > 20;
  }
  if (mode.args[0] == "--edges") return readAll("/sys/class/gpio/gpio397/edge") == "both\n";
  return readAll("/sys/kernel/debug/gpio").find("|tachometer") != std::string::npos;
}

struct Run {
  long made = 0;
  long seen = 0;
  std::string lost = "-";  // reported lost changes; "-" where none are counted
  size_t windows = 0;
  double median = 0, p99 = 0, worst = 0;  // window length error, %
  double cpu = 0;                          // share of a core while toggled
};

// Each whole window's length against the toggler's times of the changes
// the node counted in it: window k closed at its c_k-th change, so it
// should last at[c_k] - at[c_(k-1)].
void windowErrors(const std::vector<LoggedWindow>& windows, const std::vector<int64_t>& at, Run* run) {
  std::vector<double> errors;
  long counted = 0;
  bool started = false;
  for (size_t k = 0; k + 1 < windows.size(); ++k) {
    const long before = counted;
    counted += windows[k].changes;
    if (windows[k].changes == 0) continue;
    // The first window with a change began on the still line.
    if (!started) {
      started = true;
      continue;
    }
    if (counted > static_cast<long>(at.size()) || before < 1) break;
    const double truth = (at[counted - 1] - at[before - 1]) / 1e6;
    errors.push_back(std::fabs(windows[k].elapsedMs - truth) / truth * 100.0);
  }
  run->windows = errors.size();
  if (errors.empty()) return;
  std::sort(errors.begin(), errors.end());
  run->median = errors[errors.size() / 2];
  run->p99 = errors[std::min(errors.size() - 1, static_cast<size_t>(std::ceil(errors.size() * 0.99)) - 1)];
  run->worst = errors.back();
}

bool measure(const Mode& mode, int64_t intervalNs, long changes, bool busy, int lineFd, const ros::Subscriber& sub,
             Run* run) {
  const std::string dir = makeTachometerDir("/tmp");
  setLevel(lineFd, 0);
  Child node;
  std::string error;
  // Its standard output is a pipe, so fully buffered: readiness is the
  // subscription seeing it and the line taken in the node's mode.
  if (!startTachometer(&node, dir, mode.args, &error, mode.env) ||
      !waitUntil([&] { pumpOutput(&node, 0.01); return sub.getNumPublishers() > 0 && listening(mode, node); }, 120)) {
    fprintf(stderr, "kernelbench_tachometer: %s did not start: %s %s\n", mode.name, error.c_str(),
            node.errText.c_str());
    stopChild(&node, SIGKILL, 5);
    removeTree(dir);
    return false;
  }
  BusyLoops loops;
  if (busy) startBusy(&loops);
  std::vector<int64_t> at;
  at.reserve(static_cast<size_t>(changes));
  std::atomic<int> done(0);
  const double cpuFrom = cpuSeconds(node.pid);
  const double from = nowSeconds();
  std::thread toggler([&] {
    toggle(lineFd, changes, intervalNs, &at);
    done = 1;
  });
  waitUntil([&] { pumpOutput(&node, 0.01); return done != 0; }, changes * intervalNs / 1e9 + 60);
  toggler.join();
  run->cpu = (cpuSeconds(node.pid) - cpuFrom) / (nowSeconds() - from) * 100.0;
  if (busy) stopBusy(&loops);
  // The last window closes with the last change or by the interrupt.
  waitUntil([&] { pumpOutput(&node, 0.01); return false; }, 0.5);
  stopChild(&node, SIGINT, 30);

  run->made = static_cast<long>(at.size());
  run->seen = countOf(node.outText, " ms\n");
  if (mode.args == std::vector<std::string>{"--events"} && mode.env.empty()) {
    const size_t said = node.errText.rfind(" since start)");
    run->lost = said == std::string::npos ? "0" : std::to_string(atol(node.errText.c_str() + node.errText.rfind('(', said) + 1));
  }
  windowErrors(readWindowLogs(rpmLog(dir, "5", "2000"), durationLog(dir, "5", "2000")), at, run);
  removeTree(dir);
  return true;
}

void exportLine(bool exported) {
  if (exported) {
    std::ofstream("/sys/class/gpio/export") << "397";
    std::ofstream("/sys/class/gpio/gpio397/direction") << "in";
  } else {
    std::ofstream("/sys/class/gpio/unexport") << "397";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (getenv("KERNELBOARD") == nullptr) {
    fprintf(stderr, "kernelbench_tachometer: run me inside test/tools/kernelboard --arch x86_64 --host-root\n");
    return 2;
  }
  setenv("ROS_HOME", "/tmp", 1);
  setenv("ROS_IP", "127.0.0.1", 1);
  const int lineFd = open(mockupFile().c_str(), O_WRONLY);
  if (lineFd < 0) {
    perror("kernelbench_tachometer: gpio-mockup line 397");
    return 1;
  }
  Child master;
  std::string error;
  const double masterStart = nowSeconds();
  // Under emulation the master takes its time.
  if (!joinPrivateMaster(&master, argc, argv, "tachometer_listener", 120, &error)) {
    fprintf(stderr, "kernelbench_tachometer: %s\n", error.c_str());
    return 1;
  }
  printf("ROS master up after %.1f s\n", nowSeconds() - masterStart);
  fflush(stdout);
  ros::NodeHandle handle;
  ros::Subscriber sub = handle.subscribe("/tachometer", 100, ignore);

  struct utsname name;
  uname(&name);
  // Half periods and enough changes for at least 2 s or 24 windows.
  const int64_t halfPeriodsUs[] = {25000, 5000, 1000, 500};
  bool complete = true;
  printf("tachometer node, counts 5, gpio-mockup's line 397, Linux %s (x86-64 guest, one vCPU)\n", name.release);
  printf("%-10s %9s %7s %6s %6s %5s %8s %8s %8s %8s\n", "mode", "half ms", "load", "made", "seen", "lost",
         "windows", "median%", "p99%", "worst%");
  std::vector<double> cpu;
  for (const Mode& mode : kModes) {
    exportLine(mode.exported);
    for (bool busy : {false, true}) {
      for (int64_t us : halfPeriodsUs) {
        Run run;
        const long changes = std::max(120L, static_cast<long>(2000000 / us));
        if (!measure(mode, us * 1000, changes, busy, lineFd, sub, &run)) {
          complete = false;
          continue;
        }
        printf("%-10s %9.1f %7s %6ld %6ld %5s %8zu %8.3f %8.3f %8.3f\n", mode.name, us / 1000.0,
               busy ? "2 busy" : "idle", run.made, run.seen, run.lost.c_str(), run.windows, run.median, run.p99,
               run.worst);
        fflush(stdout);
      }
    }
    Run run;
    complete = measure(mode, 10 * 1000000, 500, false, lineFd, sub, &run) && complete;
    cpu.push_back(run.cpu);
  }
  exportLine(false);
  printf("\nCPU share of one core at 3000 rpm (a change every 10 ms, 5 s, idle):\n");
  for (size_t k = 0; k < cpu.size(); ++k) printf("%-10s %6.2f %%\n", kModes[k].name, cpu[k]);
  printf("lost: changes the node reported lost (v2 only; '-': not countable)\n");
  printf("window error: |logged length - toggler's time for the same changes| / that time\n");

  ros::shutdown();
  stopChild(&master, SIGTERM, 20);
  return complete ? 0 : 1;
}
