// Commands that change both values at once, through teleop_files and the
// watching writer as the car runs them (serial --watch --stale-ms 500):
// four pairs, each differing from the next in throttle and steering, one
// every 40 ms for SECONDS (default 10). For each quiet time of the writer
// (--settle-ms, 0 being the writer that reads at the first change), idle
// and beside two and four busy loops: the pairs on the line that nobody
// commanded, the commands whose pair did not come before the next one was
// due, and the time from each command's publication to its pair complete
// at the drive controller stand-in, median and p99.
//   test/tools/simboard --bare -- devel/lib/pelmora/bench_command_pairs [SECONDS]
#include <ros/ros.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pelmora/Telemetry.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bridge_harness.h"
#include "figures.h"
#include "ros_graph.h"

namespace {

const char* const kName = "bench_command_pairs";
const int kCommands[4][2] = {{1700, 60}, {1650, 100}, {1750, 30}, {1600, 90}};
const int kSettleTimes[] = {0, 1, 2, 3, 5, 8};
const double kCommandSeconds = 0.04;

std::pair<int, int> wirePair(int throttle, int steering) {
  return {(throttle - 1000) / 10, steeringOf(kBuilds[0], steering)};
}

struct Run {
  size_t pairs = 0;
  int uncommanded = 0;
  std::vector<double> latency;  // seconds from publication to the pair
  int unmatched = 0;            // commands whose pair never came
};

// Loops that keep cores busy, as other programs of a loaded board would.
std::vector<pid_t> startBusyLoops(int n) {
  std::vector<pid_t> pids;
  for (int i = 0; i < n; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      for (volatile unsigned long spin = 0;; spin = spin + 1) {
      }
    }
    if (pid > 0) pids.push_back(pid);
  }
  return pids;
}

void stopBusyLoops(const std::vector<pid_t>& pids) {
  for (pid_t pid : pids) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// Publishes the commands for seconds while teleop_files and the writer run,
// then reads what reached the wire.
bool measure(ros::Publisher* publisher, int settleMs, double seconds, Run* run) {
  CommandTree tree = makeCommandTree();
  DriveController drive;
  Child teleop, bridge;
  std::string error;
  bool ok = startDriveController(&drive) &&
            startChild(&teleop, {programPath("teleop_files"), tree.teleop}, "", {}, &error) &&
            waitUntil([&] { pumpOutput(&teleop, 0); return publisher->getNumSubscribers() > 0; }, 30) &&
            startBridge(&bridge, "serial",
                        {"--no-console", "--stale-ms", "500", "--settle-ms", std::to_string(settleMs), "--watch"},
                        tree.run) &&
            waitForOutputReading(&bridge, &drive, "port is open.", 30);
  std::vector<double> sentAt;
  const double end = nowSeconds() + seconds;
  for (int i = 0; ok && nowSeconds() < end; ++i) {
    pelmora::Telemetry m;
    m.speed = kCommands[i % 4][0];
    m.angle = kCommands[i % 4][1];
    sentAt.push_back(nowSeconds());
    publisher->publish(m);
    const double next = sentAt.back() + kCommandSeconds;
    waitUntil([&] {
      pumpOutput(&bridge, 0);
      pumpOutput(&teleop, 0);
      updateDrive(&drive, 0);
      return nowSeconds() >= next;
    }, 1);
  }
  waitUntil([&] { pumpOutput(&bridge, 0); updateDrive(&drive, 0); return false; }, ok ? 0.3 : 0);
  if (!ok) fprintf(stderr, "%s: the writer did not start: %s %s\n", kName, error.c_str(), endOf(bridge).c_str());

  std::set<std::pair<int, int>> commanded;
  for (const auto& c : kCommands) commanded.insert(wirePair(c[0], c[1]));
  const std::vector<DrivePair> pairs = drivePairs(drive);
  run->pairs = pairs.size();
  for (const DrivePair& p : pairs) run->uncommanded += commanded.count({p.throttle, p.steering}) == 0;
  // The pair of each command, sent while it was the latest.
  for (size_t i = 0; i < sentAt.size(); ++i) {
    const std::pair<int, int> want = wirePair(kCommands[i % 4][0], kCommands[i % 4][1]);
    const double at = firstPairAfter(drive, want.first, want.second, sentAt[i]);
    if (at >= 0 && (i + 1 == sentAt.size() || at < sentAt[i + 1] + kCommandSeconds)) {
      run->latency.push_back(at - sentAt[i]);
    } else {
      ++run->unmatched;
    }
  }
  stopChild(&bridge, SIGINT, 5);
  stopChild(&teleop, SIGINT, 5);
  stopChild(&drive.child, SIGTERM, 5);
  removeCommandTree(tree);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 10;
  if (seconds <= 0) {
    fprintf(stderr, "usage: %s [SECONDS]\n", kName);
    return 2;
  }
  Child master;
  std::string error;
  if (!joinPrivateMaster(&master, argc, argv, kName, 30, &error)) {
    fprintf(stderr, "%s: %s\n", kName, error.c_str());
    return 1;
  }
  ros::start();
  ros::NodeHandle node;
  ros::Publisher publisher = node.advertise<pelmora::Telemetry>("/serial", 10);
  printf("a command every %.0f ms for %.0f s, each changing throttle and steering\n", kCommandSeconds * 1000,
         seconds);
  printf("  %-16s %9s %7s %12s %10s %9s %9s\n", "load", "settle", "pairs", "uncommanded", "unmatched", "median",
         "p99");
  int status = 0;
  for (int busy : {0, 2, 4}) {
    for (int settleMs : kSettleTimes) {
      const std::vector<pid_t> loops = startBusyLoops(busy);
      Run run;
      const bool ok = measure(&publisher, settleMs, seconds, &run);
      stopBusyLoops(loops);
      if (!ok) {
        status = 1;
        break;
      }
      const Figures f = figuresOf(run.latency);
      const std::string load = busy ? std::to_string(busy) + " busy loops" : "idle";
      printf("  %-16s %6d ms %7zu %12d %10d %6.2f ms %6.2f ms\n", load.c_str(), settleMs,
             run.pairs, run.uncommanded, run.unmatched, f.median * 1000, f.p99 * 1000);
      fflush(stdout);
    }
  }
  ros::shutdown();
  stopChild(&master, SIGINT, 10);
  return status;
}
