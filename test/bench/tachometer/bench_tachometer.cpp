// Tachometer node against the GPIO stand-in at several wheel speeds: true
// rpm, mean published rpm (the rpm log holds the published values), worst
// window error and level changes missed, and the node's samples per second
// against a bare open/read/close loop on the same value file. Runs inside `test/tools/simboard --bare`; starts its
// own ROS master on a free port.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "gpio_board.h"
#include "process.h"
#include "tachometer_run.h"

namespace {

const char kValueFile[] = "/sys/class/gpio/gpio397/value";

struct Row {
  double trueRpm;
  size_t windows;
  double meanRpm;
  double worstErrorPercent;
  long trueChanges;
  long counted;
  double samplesPerSecond;
  double bareSamplesPerSecond;
};

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

int64_t waveStart(const std::string& reply) { return gpioBoardNumber(reply, "start="); }

// Runs the node on a still line, turns the wheel at rpm for seconds, stills
// the line again and stops the node: every change of the run is then one
// the node could count, and the logs hold every window it published.
bool measure(double rpm, double seconds, const std::string& workDir, Row* row) {
  const std::string label = std::to_string(static_cast<int>(rpm));
  const std::string dir = makeTachometerDir(workDir);
  const int64_t intervalNs = static_cast<int64_t>(std::llround(30e9 / rpm));
  gpioBoard("wave 397 const 0");

  Child node;
  std::string error;
  const long readsAtStart = gpioBoardReads();
  if (!startTachometer(&node, dir, {"5", label}, &error)) {
    fprintf(stderr, "bench_tachometer: %s\n", error.c_str());
    return false;
  }
  // Keep the node's output drained, or its printf would stall the polling.
  auto pump = [&] { pumpOutput(&node, 0.005); };
  if (!waitUntil([&] { pump(); return gpioBoardReads() > readsAtStart + 1000; }, 30)) {
    fprintf(stderr, "bench_tachometer: the node does not sample at %s rpm: %s\n", label.c_str(),
            node.errText.c_str());
    stopChild(&node, SIGKILL, 5);
    return false;
  }

  const int64_t began = waveStart(gpioBoard("wave 397 interval " + std::to_string(intervalNs / 1000)));
  const long readsBefore = gpioBoardReads();
  const double from = nowSeconds();
  waitUntil([&] { pump(); return nowSeconds() - from >= seconds; }, seconds + 1);
  const long readsAfter = gpioBoardReads();
  row->samplesPerSecond = (readsAfter - readsBefore) / (nowSeconds() - from);
  const int64_t ended = waveStart(gpioBoard("wave 397 const 0"));
  if (began < 0 || ended < 0) return false;
  row->trueChanges = waveChangesUntilStill(began, ended, intervalNs);
  // Let the node see the final level before it stops.
  const long readsAtEnd = gpioBoardReads();
  waitUntil([&] { pump(); return gpioBoardReads() > readsAtEnd + 1000; }, 10);
  stopChild(&node, SIGINT, 15);
  // The floor right after the run, so both see about the same machine load.
  row->bareSamplesPerSecond = bareSamplesPerSecond(1.0);

  const std::vector<LoggedWindow> windows = readWindowLogs(rpmLog(dir, "5", label), durationLog(dir, "5", label));
  const std::vector<LoggedWindow> whole = wholeWindows(windows);
  if (whole.empty()) {
    fprintf(stderr, "bench_tachometer: too few windows at %s rpm\n", label.c_str());
    return false;
  }
  row->trueRpm = rpm;
  row->counted = 0;
  for (const LoggedWindow& w : windows) row->counted += w.changes;
  row->windows = whole.size();
  row->meanRpm = 0;
  row->worstErrorPercent = 0;
  for (const LoggedWindow& w : whole) {
    row->meanRpm += w.rpm;
    row->worstErrorPercent = std::max(row->worstErrorPercent, std::fabs(w.rpm - rpm) / rpm * 100.0);
  }
  row->meanRpm /= row->windows;
  return true;
}

}  // namespace

int main() {
  TachometerBench bench;
  if (int status = startTachometerBench("bench_tachometer", &bench)) return status;
  const std::string& workDir = bench.workDir;

  std::vector<Row> rows;
  const double speeds[] = {60, 600, 3000, 6000, 12000, 24000, 48000};
  for (double rpm : speeds) {
    Row row;
    if (measure(rpm, rpm < 100 ? 8.0 : 4.0, workDir, &row)) rows.push_back(row);
  }

  printf("tachometer node, counts 5, on the FUSE GPIO stand-in\n");
  printf("%9s %8s %8s %10s %9s %8s %7s %10s %10s\n", "true rpm", "change", "windows", "mean rpm", "worst err",
         "changes", "missed", "samples/s", "samples/s");
  printf("%9s %8s %8s %10s %9s %8s %7s %10s %10s\n", "", "every ms", "", "published", "window %", "true", "",
         "node", "bare loop");
  double node = 0, bare = 0;
  for (const Row& r : rows) {
    printf("%9.0f %8.3f %8zu %10.2f %9.2f %8ld %7ld %10.0f %10.0f\n", r.trueRpm, 30000.0 / r.trueRpm, r.windows,
           r.meanRpm, r.worstErrorPercent, r.trueChanges, r.trueChanges - r.counted, r.samplesPerSecond,
           r.bareSamplesPerSecond);
    node += r.samplesPerSecond;
    bare += r.bareSamplesPerSecond;
  }
  if (!rows.empty()) {
    printf("node %.0f samples/s against %.0f for a bare open/read/close loop on %s (%.0f%%)\n", node / rows.size(),
           bare / rows.size(), kValueFile, 100.0 * node / bare);
  }

  stopTachometerBench(&bench);
  return rows.size() == sizeof speeds / sizeof speeds[0] ? 0 : 1;
}
