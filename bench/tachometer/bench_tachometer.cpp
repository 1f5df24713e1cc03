// Tachometer node against the GPIO stand-in at several wheel speeds: true
// rpm, mean published rpm, worst window error and level changes missed,
// then the node's samples per second against a bare open/read/close loop
// on the same value file. Runs inside `tools/simboard --bare`; starts its
// own ROS master on a free port.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include <pelmora/Tachometer.h>
#include <ros/ros.h>

#include "gpio_board.h"
#include "process.h"

namespace {

const char kValueFile[] = "/sys/class/gpio/gpio397/value";

struct Reading {
  double rpm;
  int64_t atNs;
};

struct Window {
  double rpm;
  double elapsedMs;
  long changes;
};

struct Row {
  double trueRpm;
  size_t windows;
  double meanRpm;
  double worstErrorPercent;
  long trueChanges;
  long counted;
  double samplesPerSecond;
};

int64_t monotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::vector<double> readNumbers(const std::string& path) {
  std::vector<double> numbers;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) numbers.push_back(strtod(line.c_str(), nullptr));
  return numbers;
}

long replyNumber(const std::string& reply, const std::string& key) {
  size_t at = reply.find(key);
  return at == std::string::npos ? -1 : atol(reply.c_str() + at + key.size());
}

int freePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = -1;
  if (bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(s, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  close(s);
  return port;
}

// Samples per second of the cheapest possible poll: open, read, close.
double bareSamplesPerSecond(double seconds) {
  long samples = 0;
  const double start = nowSeconds();
  double now = start;
  char byte;
  while (now - start < seconds) {
    for (int k = 0; k < 100; ++k) {
      int fd = open(kValueFile, O_RDONLY);
      if (fd < 0) return -1;
      if (read(fd, &byte, 1) == 1) ++samples;
      close(fd);
    }
    now = nowSeconds();
  }
  return samples / (now - start);
}

// Runs the node for seconds on a wave of rpm and measures it.
bool measure(double rpm, double seconds, const std::string& workDir, Row* row) {
  const std::string label = std::to_string(static_cast<int>(rpm));
  const std::string dir = workDir + "/rpm" + label;
  mkdir(dir.c_str(), 0755);
  mkdir((dir + "/files").c_str(), 0755);
  if (gpioBoard("wave 397 rpm " + label).rfind("ok", 0) != 0) return false;

  std::vector<Reading> readings;
  ros::NodeHandle handle;
  ros::Subscriber sub = handle.subscribe<pelmora::Tachometer>(
      "/tachometer", 100000,
      [&](const pelmora::Tachometer::ConstPtr& m) { readings.push_back({m->rpm, monotonicNs()}); });
  Child node;
  std::string error;
  if (!startChild(&node, {std::string(PELMORA_BIN_DIR) + "/tachometer", "5", label}, dir, {}, &error)) {
    fprintf(stderr, "bench_tachometer: %s\n", error.c_str());
    return false;
  }
  auto spin = [&] {
    pumpOutput(&node, 0);
    ros::spinOnce();
  };
  if (!waitUntil([&] { spin(); return !readings.empty(); }, 30)) {
    fprintf(stderr, "bench_tachometer: no reading at %s rpm: %s\n", label.c_str(), node.errText.c_str());
    stopChild(&node, SIGKILL, 5);
    return false;
  }
  const long readsBefore = replyNumber(gpioBoard("state 397"), "reads=");
  const double from = nowSeconds();
  waitUntil([&] { spin(); return nowSeconds() - from >= seconds; }, seconds + 1);
  const long readsAfter = replyNumber(gpioBoard("state 397"), "reads=");
  row->samplesPerSecond = (readsAfter - readsBefore) / (nowSeconds() - from);
  stopChild(&node, SIGINT, 15);
  spin();

  std::vector<double> rpms = readNumbers(dir + "/files/tachs_counts_5_speed_" + label + ".txt");
  std::vector<double> durations = readNumbers(dir + "/files/times_counts_5_speed_" + label + ".txt");
  std::vector<Window> windows;
  for (size_t k = 0; k < rpms.size() && k < durations.size(); ++k)
    windows.push_back({rpms[k], durations[k], std::lround(rpms[k] * durations[k] / 30000.0)});

  // Log index of each reading; the topic carries the logged values in order.
  std::vector<size_t> at;
  size_t k = 0;
  for (const Reading& r : readings) {
    while (k < windows.size() && std::fabs(windows[k].rpm - r.rpm) > 1e-6 * std::max(1.0, r.rpm)) ++k;
    if (k == windows.size()) break;
    at.push_back(k++);
  }
  // Whole windows: not the first (from start-up), not the last (cut by the
  // interrupt), and only those between two readings for the change count.
  size_t first = 0;
  while (first < at.size() && at[first] == 0) ++first;
  if (at.size() < first + 2 || windows.size() < 3) {
    fprintf(stderr, "bench_tachometer: too few windows at %s rpm\n", label.c_str());
    return false;
  }
  row->trueRpm = rpm;
  row->windows = 0;
  row->meanRpm = 0;
  row->worstErrorPercent = 0;
  for (size_t w = 1; w + 1 < windows.size(); ++w) {
    ++row->windows;
    row->meanRpm += windows[w].rpm;
    row->worstErrorPercent = std::max(row->worstErrorPercent, std::fabs(windows[w].rpm - rpm) / rpm * 100.0);
  }
  row->meanRpm /= row->windows;

  // A window ends just after the change that closed it and its reading
  // arrives a fraction of a millisecond later: the stand-in's true count
  // between two readings is what the windows in between should have seen.
  const size_t a = first;
  const size_t b = at.size() - 1;
  row->counted = 0;
  for (size_t w = at[a] + 1; w <= at[b]; ++w) row->counted += windows[w].changes;
  row->trueChanges = replyNumber(gpioBoard("changes 397 " + std::to_string(readings[a].atNs) + " " +
                                           std::to_string(readings[b].atNs)),
                                 "ok ");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* boardDir = getenv("SIMBOARD_DIR");
  if (!boardDir) {
    fprintf(stderr, "bench_tachometer: run me inside tools/simboard --bare\n");
    return 2;
  }
  const std::string workDir = std::string(boardDir) + "/bench_tachometer";
  mkdir(workDir.c_str(), 0755);
  const std::string rosHome = workDir + "/ros_home";
  mkdir(rosHome.c_str(), 0755);
  setenv("ROS_HOME", rosHome.c_str(), 0);

  Child sim;
  std::string error;
  if (!startGpioBoard(&sim, &error)) {
    fprintf(stderr, "bench_tachometer: %s\n", error.c_str());
    return 1;
  }
  gpioBoard("export 397");
  gpioBoard("wave 397 const 0");

  const int port = freePort();
  const std::string master = "http://127.0.0.1:" + std::to_string(port);
  setenv("ROS_MASTER_URI", master.c_str(), 1);
  setenv("ROS_IP", "127.0.0.1", 1);
  Child rosmaster;
  if (!startChild(&rosmaster, {"/usr/bin/rosmaster", "--core", "-p", std::to_string(port)}, "", {}, &error)) {
    fprintf(stderr, "bench_tachometer: %s\n", error.c_str());
    stopGpioBoard(&sim);
    return 1;
  }
  ros::init(argc, argv, "bench_tachometer", ros::init_options::NoSigintHandler);
  if (!waitUntil([] { return ros::master::check(); }, 30)) {
    fprintf(stderr, "bench_tachometer: no ROS master on %s\n", master.c_str());
    stopChild(&rosmaster, SIGINT, 10);
    stopGpioBoard(&sim);
    return 1;
  }

  const double floor = bareSamplesPerSecond(2.0);

  std::vector<Row> rows;
  const double speeds[] = {60, 600, 3000, 6000, 12000, 24000, 48000};
  for (double rpm : speeds) {
    Row row;
    if (measure(rpm, rpm < 100 ? 8.0 : 4.0, workDir, &row)) rows.push_back(row);
  }

  printf("tachometer node, counts 5, on the FUSE GPIO stand-in\n");
  printf("%9s %8s %11s %10s %9s %8s %7s %10s\n", "true rpm", "change", "mean rpm", "worst err", "changes",
         "counted", "missed", "samples/s");
  printf("%9s %8s %11s %10s %9s %8s %7s %10s\n", "", "every ms", "published", "window %", "true", "", "", "node");
  for (const Row& r : rows) {
    printf("%9.0f %8.3f %11.2f %10.2f %9ld %8ld %7ld %10.0f\n", r.trueRpm, 30000.0 / r.trueRpm, r.meanRpm,
           r.worstErrorPercent, r.trueChanges, r.counted, r.trueChanges - r.counted, r.samplesPerSecond);
  }
  printf("bare open/read/close loop on %s: %.0f samples/s\n", kValueFile, floor);
  double nodeMean = 0;
  for (const Row& r : rows) nodeMean += r.samplesPerSecond;
  if (!rows.empty()) printf("node mean: %.0f samples/s (%.0f%% of the bare loop)\n", nodeMean / rows.size(),
                            100.0 * nodeMean / rows.size() / floor);

  ros::shutdown();
  stopChild(&rosmaster, SIGINT, 10);
  stopGpioBoard(&sim);
  return rows.size() == sizeof speeds / sizeof speeds[0] ? 0 : 1;
}
