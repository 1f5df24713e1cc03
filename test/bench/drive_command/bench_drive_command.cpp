// Benchmark of the drive command node: its publishing period over 250
// cycles and the latency from a console line to the first message that
// carries it, both seen by a real subscriber. Starts its own ROS master on
// a free port. Run: bench_drive_command (prints figures; exit 1 on failure)
#include <ros/ros.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <pelmora/Telemetry.h>

#include "process.h"
#include "ros_graph.h"

namespace {

const int kCycles = 250;
const int kLatencySamples = 100;

struct Received {
  int angle;
  double at;
};

// Written by the spinner thread, read by the measuring thread.
std::mutex g_lock;
std::vector<Received> g_received;

void onTelemetry(const pelmora::Telemetry::ConstPtr& m) {
  double at = nowSeconds();
  std::lock_guard<std::mutex> hold(g_lock);
  g_received.push_back(Received{m->angle, at});
}

size_t received() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_received.size();
}

// Index of the first message at or after from that carries angle, or -1.
long findAngle(int angle, size_t from) {
  std::lock_guard<std::mutex> hold(g_lock);
  for (size_t i = from; i < g_received.size(); ++i)
    if (g_received[i].angle == angle) return static_cast<long>(i);
  return -1;
}

void printPeriod(size_t from) {
  std::vector<double> gaps;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    for (size_t i = from + 1; i < g_received.size() && gaps.size() < kCycles; ++i)
      gaps.push_back(g_received[i].at - g_received[i - 1].at);
  }
  double sum = 0, worst = 0;
  for (double g : gaps) {
    sum += g;
    worst = std::max(worst, std::fabs(g - 0.1));
  }
  double mean = sum / gaps.size();
  double var = 0;
  for (double g : gaps) var += (g - mean) * (g - mean);
  printf("publishing period over %zu cycles: mean %.3f ms, std dev %.3f ms, worst deviation from 100 ms %.3f ms\n",
         gaps.size(), mean * 1e3, std::sqrt(var / gaps.size()) * 1e3, worst * 1e3);
}

bool measureLatency(Child* node) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> phase(0, 100);
  std::vector<double> latencies;
  for (int k = 0; k < kLatencySamples; ++k) {
    // A random phase against the 100 ms cycle, so the samples spread over it.
    usleep(static_cast<useconds_t>(phase(random)) * 1000);
    const int angle = 1000 + k;
    size_t from = received();
    double sent = nowSeconds();
    if (!writeInput(node, "s" + std::to_string(angle) + "\n")) return false;
    long at = -1;
    if (!waitUntil([&] { return (at = findAngle(angle, from)) >= 0; }, 5)) {
      fprintf(stderr, "angle %d never arrived\n", angle);
      return false;
    }
    std::lock_guard<std::mutex> hold(g_lock);
    latencies.push_back(g_received[at].at - sent);
  }
  std::sort(latencies.begin(), latencies.end());
  printf("console line to first message carrying it, %zu lines: best %.1f ms, median %.1f ms, worst %.1f ms\n",
         latencies.size(), latencies.front() * 1e3, latencies[latencies.size() / 2] * 1e3,
         latencies.back() * 1e3);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = getenv("SIMBOARD_DIR");
  setenv("ROS_HOME", tmp ? tmp : "/tmp", 0);

  Child core, node;
  std::string error;
  if (!joinPrivateMaster(&core, argc, argv, "bench_drive_command", 30, &error)) {
    fprintf(stderr, "bench_drive_command: %s\n", error.c_str());
    return 1;
  }
  int status = 1;
  {
    ros::NodeHandle nh;
    ros::Subscriber sub = nh.subscribe("serial", 100, onTelemetry);
    ros::AsyncSpinner spinner(1);
    spinner.start();
    if (!startChild(&node, {programPath("drive_command")}, "", {}, &error)) {
      fprintf(stderr, "%s\n", error.c_str());
    } else if (!waitUntil([] { return received() > 0; }, 30)) {
      fprintf(stderr, "no message from drive_command\n%s", node.errText.c_str());
    } else {
      size_t first = received();
      if (waitUntil([&] { return received() > first + kCycles; }, kCycles * 0.1 * 3)) {
        printPeriod(first);
        if (measureLatency(&node)) status = 0;
      } else {
        fprintf(stderr, "fewer than %d messages in %.0f s\n", kCycles, kCycles * 0.1 * 3);
      }
      writeInput(&node, "0\n");
      if (waitExit(&node, 10))
        printf("drive_command stopped on \"0\" with exit status %d\n", exitCode(node));
    }
    stopChild(&node, SIGKILL, 5);
    spinner.stop();
  }
  ros::shutdown();
  stopChild(&core, SIGINT, 10);
  return status;
}
