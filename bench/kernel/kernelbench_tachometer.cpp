// Tachometer node on the real kernel: inside the x86-64 kernelboard guest
// (the host's userspace on Debian's kernel), line 397 is gpio-mockup's, its
// level toggled at known rates through debugfs by a thread of this program,
// which also subscribes to /tachometer. Prints the node's samples per second
// (its read calls, from /proc/PID/io) and the published rpm against the true.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ros/ros.h>

#include "pelmora/Tachometer.h"
#include "process.h"
#include "ros_graph.h"
#include "tachometer_run.h"

namespace {

// Published rpm values as they arrive: the spinner thread appends, the main
// thread reads under the lock.
std::mutex g_lock;
std::vector<double> g_received;

void onTachometer(const pelmora::Tachometer::ConstPtr& message) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_received.push_back(message->rpm);
}

std::string mockupFile() {
  std::string chip;
  for (int n = 0; n < 16 && chip.empty(); ++n) {
    const std::string dir = "/sys/kernel/debug/gpio-mockup/gpiochip" + std::to_string(n);
    if (access(dir.c_str(), F_OK) == 0) chip = dir;
  }
  return chip + "/13";
}

// gpio-mockup's debugfs file takes each write whole and has no seek.
void setLevel(int fd, int level) {
  const char c = level ? '1' : '0';
  if (write(fd, &c, 1) != 1) perror("kernelbench_tachometer: debugfs");
}

long readCalls(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  long value = -1;
  while (in >> key >> value) {
    if (key == "syscr:") return value;
  }
  return -1;
}

// Toggles the line every intervalNs until stop; returns the changes made.
long toggle(int fd, int64_t intervalNs, const std::atomic<int>* stop) {
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  long changes = 0;
  int level = 0;
  while (!*stop) {
    next.tv_nsec += intervalNs;
    while (next.tv_nsec >= 1000000000) {
      next.tv_nsec -= 1000000000;
      ++next.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    level = !level;
    setLevel(fd, level);
    ++changes;
  }
  if (level) {
    setLevel(fd, 0);
    ++changes;
  }
  return changes;
}

struct Row {
  double rpm;
  long trueChanges;
  size_t messages;
  double median;
  double samplesPerSecond;
};

bool measure(double rpm, double seconds, int lineFd, const ros::Subscriber& sub, Row* row) {
  const std::string label = std::to_string(static_cast<int>(rpm));
  const std::string dir = makeTachometerDir("/tmp");
  setLevel(lineFd, 0);
  Child node;
  std::string error;
  // Its standard output is a pipe, so fully buffered: readiness is the
  // subscription seeing it as a publisher.
  if (!startTachometer(&node, dir, {"5", label}, &error) ||
      !waitUntil([&] { pumpOutput(&node, 0.01); return sub.getNumPublishers() > 0; }, 120)) {
    fprintf(stderr, "kernelbench_tachometer: the node did not start: %s %s\n", error.c_str(), node.errText.c_str());
    stopChild(&node, SIGKILL, 5);
    return false;
  }
  // A still line longer than the window limit: the first window ends at the
  // first change, every later one is a whole window.
  const double still = nowSeconds();
  waitUntil([&] { pumpOutput(&node, 0.01); return nowSeconds() - still >= 1.5; }, 3);
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_received.clear();
  }
  std::atomic<int> stop(0);
  long changes = 0;
  const long readsBefore = readCalls(node.pid);
  const double from = nowSeconds();
  std::thread toggler([&] { changes = toggle(lineFd, static_cast<int64_t>(std::llround(30e9 / rpm)), &stop); });
  waitUntil([&] { pumpOutput(&node, 0.01); return nowSeconds() - from >= seconds; }, seconds + 2);
  row->samplesPerSecond = (readCalls(node.pid) - readsBefore) / (nowSeconds() - from);
  stop = 1;
  toggler.join();
  waitUntil([&] { pumpOutput(&node, 0.01); return false; }, 1.0);
  stopChild(&node, SIGINT, 20);
  removeTree(dir);

  std::vector<double> values;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    values = g_received;
  }
  // Not the first window (it began on the still line) nor the last.
  if (values.size() < 4) {
    fprintf(stderr, "kernelbench_tachometer: only %zu windows at %s rpm\n", values.size(), label.c_str());
    return false;
  }
  values = std::vector<double>(values.begin() + 1, values.end() - 1);
  std::sort(values.begin(), values.end());
  row->rpm = rpm;
  row->trueChanges = changes;
  row->messages = values.size();
  row->median = values[values.size() / 2];
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (getenv("KERNELBOARD") == nullptr) {
    fprintf(stderr, "kernelbench_tachometer: run me inside tools/kernelboard --arch x86_64 --host-root\n");
    return 2;
  }
  setenv("ROS_HOME", "/tmp", 1);
  setenv("ROS_IP", "127.0.0.1", 1);
  std::ofstream("/sys/class/gpio/export") << "397";
  std::ofstream("/sys/class/gpio/gpio397/direction") << "in";
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
  ros::NodeHandle handle;
  ros::Subscriber sub = handle.subscribe("/tachometer", 100, onTachometer);
  ros::AsyncSpinner spinner(1);
  spinner.start();

  std::vector<Row> rows;
  for (double rpm : {600.0, 3000.0}) {
    Row row;
    if (measure(rpm, 8.0, lineFd, sub, &row)) rows.push_back(row);
  }
  spinner.stop();
  ros::shutdown();
  stopChild(&master, SIGTERM, 20);

  printf("tachometer node, counts 5, on the kernel's sysfs GPIO (gpio-mockup, x86-64 guest)\n");
  printf("%9s %8s %9s %12s %9s %10s\n", "true rpm", "changes", "messages", "median rpm", "error %", "samples/s");
  for (const Row& r : rows) {
    printf("%9.0f %8ld %9zu %12.1f %9.2f %10.0f\n", r.rpm, r.trueChanges, r.messages, r.median,
           (r.median - r.rpm) / r.rpm * 100.0, r.samplesPerSecond);
  }
  return rows.size() == 2 ? 0 : 1;
}
