// Tachometer node in both modes, busy polling and --edges, against the GPIO
// stand-in at several wheel speeds: the CPU the node and the stand-in use
// per second of wall time (from /proc/PID/stat), the median and worst
// window error and the level changes missed. Runs inside
// `test/tools/simboard --bare`; starts its own ROS master on a free port.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "gpio_board.h"
#include "process.h"
#include "process_watch.h"
#include "tachometer_run.h"

namespace {

struct Row {
  bool edges;
  double trueRpm;
  size_t windows;
  double medianRpm;
  double medianErrorPercent;
  double worstErrorPercent;
  long trueChanges;
  long counted;
  double nodeCpu;  // share of one core
  double simCpu;
};

int64_t waveStart(const std::string& reply) { return gpioBoardNumber(reply, "start="); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? NAN : v[v.size() / 2];
}

// Starts the node on a still line, turns the wheel at rpm for seconds
// while the CPU of both processes is measured, stills the line and stops
// the node: every change of the run is one the node could count.
bool measure(bool edges, double rpm, double seconds, const std::string& workDir, pid_t sim, Row* row) {
  const std::string label = std::to_string(static_cast<int>(rpm));
  const std::string dir = makeTachometerDir(workDir);
  const int64_t intervalNs = static_cast<int64_t>(std::llround(30e9 / rpm));
  gpioBoard("wave 397 const 0");

  std::vector<std::string> args = {"5", label};
  if (edges) args.push_back("--edges");
  Child node;
  std::string error;
  const long readsAtStart = gpioBoardReads();
  if (!startTachometer(&node, dir, args, &error)) {
    fprintf(stderr, "bench_tachometer_modes: %s\n", error.c_str());
    return false;
  }
  // Keep the node's output drained, or its printf would stall it.
  auto pump = [&] { pumpOutput(&node, 0.005); };
  // Sampling: thousands of reads when polling; the edge set and the first
  // reads of the open file in edge mode.
  const bool sampling = waitUntil([&] {
    pump();
    if (!edges) return gpioBoardReads() > readsAtStart + 1000;
    return gpioBoard("state 397").find(" edge=both ") != std::string::npos && gpioBoardReads() > readsAtStart + 2;
  }, 30);
  if (!sampling) {
    fprintf(stderr, "bench_tachometer_modes: the node does not sample at %s rpm: %s\n", label.c_str(),
            node.errText.c_str());
    stopChild(&node, SIGKILL, 5);
    return false;
  }

  const double nodeFrom = cpuSeconds(node.pid);
  const double simFrom = cpuSeconds(sim);
  const double from = nowSeconds();
  const int64_t began = waveStart(gpioBoard("wave 397 interval " + std::to_string(intervalNs / 1000)));
  waitUntil([&] { pump(); return nowSeconds() - from >= seconds; }, seconds + 1);
  const double wall = nowSeconds() - from;
  row->nodeCpu = (cpuSeconds(node.pid) - nodeFrom) / wall;
  row->simCpu = (cpuSeconds(sim) - simFrom) / wall;
  const int64_t ended = waveStart(gpioBoard("wave 397 const 0"));
  if (began < 0 || ended < 0) return false;
  row->trueChanges = waveChangesUntilStill(began, ended, intervalNs);
  // Let the node see the final level before it stops.
  const double settle = nowSeconds();
  waitUntil([&] { pump(); return nowSeconds() - settle >= 0.3; }, 1);
  stopChild(&node, SIGINT, 15);

  const std::vector<LoggedWindow> windows = readWindowLogs(rpmLog(dir, "5", label), durationLog(dir, "5", label));
  std::vector<double> whole;
  for (const LoggedWindow& w : wholeWindows(windows)) whole.push_back(w.rpm);
  if (whole.empty()) {
    fprintf(stderr, "bench_tachometer_modes: too few windows at %s rpm\n", label.c_str());
    return false;
  }
  row->edges = edges;
  row->trueRpm = rpm;
  row->counted = 0;
  for (const LoggedWindow& w : windows) row->counted += w.changes;
  std::vector<double> errors;
  for (double r : whole) errors.push_back(std::fabs(r - rpm) / rpm * 100.0);
  row->windows = whole.size();
  row->medianRpm = median(whole);
  row->medianErrorPercent = median(errors);
  row->worstErrorPercent = *std::max_element(errors.begin(), errors.end());
  return true;
}

}  // namespace

int main() {
  TachometerBench bench;
  if (int status = startTachometerBench("bench_tachometer_modes", &bench)) return status;
  const std::string& workDir = bench.workDir;

  std::vector<Row> rows;
  const double speeds[] = {60, 600, 3000, 6000, 12000};
  size_t wanted = 0;
  for (bool edges : {false, true}) {
    for (double rpm : speeds) {
      Row row;
      ++wanted;
      if (measure(edges, rpm, rpm < 100 ? 6.0 : 3.0, workDir, bench.sim.pid, &row)) rows.push_back(row);
    }
  }

  printf("tachometer node, counts 5, on the FUSE GPIO stand-in; CPU in %% of one core\n");
  printf("%-8s %8s %8s %7s %10s %8s %8s %8s %7s %8s %8s\n", "mode", "true rpm", "change", "windows",
         "median", "median", "worst", "changes", "missed", "node", "stand-in");
  printf("%-8s %8s %8s %7s %10s %8s %8s %8s %7s %8s %8s\n", "", "", "every ms", "", "rpm", "err %", "err %",
         "true", "", "CPU %", "CPU %");
  bool goal = false;
  bool missedSlow = false;
  for (const Row& r : rows) {
    const long missed = r.trueChanges - r.counted;
    printf("%-8s %8.0f %8.3f %7zu %10.2f %8.2f %8.2f %8ld %7ld %8.2f %8.2f\n", r.edges ? "edges" : "polling",
           r.trueRpm, 30000.0 / r.trueRpm, r.windows, r.medianRpm, r.medianErrorPercent, r.worstErrorPercent,
           r.trueChanges, missed, r.nodeCpu * 100.0, r.simCpu * 100.0);
    if (r.edges && r.trueRpm == 3000) goal = r.nodeCpu <= 0.02 && r.medianErrorPercent <= 1.0;
    if (r.edges && 30000.0 / r.trueRpm >= 5.0 && missed != 0) missedSlow = true;
  }
  printf("edge mode goal (<= 2%% of a core and median error <= 1%% at 3000 rpm, no change missed at 5 ms "
         "or more apart): %s\n", goal && !missedSlow ? "met" : "not met");

  stopTachometerBench(&bench);
  return rows.size() == wanted ? 0 : 1;
}
