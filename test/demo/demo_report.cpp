// Ends a demo run: checks what a user would look at (published rpm against
// the true wheel speed, the tachometer's logs against the topic, the pairs on
// the drive line and the neutral command last), writes summary.txt, and a
// gnuplot script for the plot of true against published rpm.
//
//   demo_report RUN_DIR TACHOMETER_FILES COUNTS SPEED STOPPED_IN_ORDER
// TACHOMETER_FILES is the tachometer's files/ folder; STOPPED_IN_ORDER is 1
// when roslaunch ended with status 0, line 397 released and nothing of the
// car left running (the neutral pair last is checked here).
#include <stdio.h>
#include <stdlib.h>

#include <cmath>
#include <string>
#include <vector>

#include "demo_logic.h"

namespace {

std::vector<Sample> readSamples(const std::string& path) {
  std::vector<Sample> samples;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return samples;
  Sample s;
  while (fscanf(f, "%lf %lf", &s.t, &s.value) == 2) samples.push_back(s);
  fclose(f);
  return samples;
}

std::vector<double> readValues(const std::string& path) {
  std::vector<double> values;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return values;
  double v;
  while (fscanf(f, "%lf", &v) == 1) values.push_back(v);
  fclose(f);
  return values;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: demo_report RUN_DIR TACHOMETER_FILES COUNTS SPEED STOPPED_IN_ORDER\n");
    return 2;
  }
  const std::string run = argv[1];
  const std::string files = argv[2];
  const int counts = atoi(argv[3]);
  const int speed = atoi(argv[4]);
  const bool stoppedInOrder = atoi(argv[5]) != 0;

  std::vector<Sample> truth = readSamples(run + "/true_rpm.log");
  std::vector<Sample> published = readSamples(run + "/published_rpm.log");
  char name[128];
  snprintf(name, sizeof name, "/tachs_counts_%d_speed_%d.txt", counts, speed);
  std::vector<double> logged = readValues(files + name);
  std::vector<double> windows;
  snprintf(name, sizeof name, "/times_counts_%d_speed_%d.txt", counts, speed);
  windows = readValues(files + name);
  std::vector<int> drive = readDriveRecordBytes(run + "/drive_record.txt");

  std::vector<RpmSegment> segments = compareRpm(truth, published, 1.5);
  FILE* out = fopen((run + "/summary.txt").c_str(), "w");
  if (!out) {
    perror(("demo_report: " + run + "/summary.txt").c_str());
    return 1;
  }
  fprintf(out, "Demo summary (%s)\n", run.c_str());
  fprintf(out, "wheel: true rpm against mean published rpm, per speed (first 1.5 s after a change left out)\n");
  for (const RpmSegment& s : segments)
    fprintf(out, "  true %8.1f rpm  published %8.1f rpm  error %5.1f %%  (%d windows)\n", s.trueRpm,
            s.meanPublished, s.errorPercent, s.windows);
  fprintf(out, "tachometer: %zu windows published while the view ran, %zu logged in the rpm log, "
               "%zu in the duration log\n",
          published.size(), logged.size(), windows.size());
  DriveSummary d = summarizeDrive(drive);
  fprintf(out, "drive line: %zu bytes, %zu pairs, %zu distinct; first pair %s, last pair %s (%s)\n",
          drive.size(), drive.size() / 2, d.distinctPairs, d.first.c_str(), d.last.c_str(),
          d.lastIsNeutral ? "the neutral command" : "NOT the neutral command");
  fprintf(out, "stop: %s\n",
          stoppedInOrder && d.lastIsNeutral
              ? "every program stopped in order"
              : "NOT in order (roslaunch's status, line 397 still exported, a program left, or the last pair)");
  fclose(out);

  FILE* gp = fopen((run + "/plot.gp").c_str(), "w");
  if (gp) {
    fprintf(gp,
            "set terminal pngcairo size 1000,500\n"
            "set output 'rpm.png'\n"
            "set title 'Wheel speed: true against published'\n"
            "set xlabel 'seconds'\nset ylabel 'rpm'\nset grid\nset key top left\n"
            "plot 'true_rpm.log' using 1:2 with steps lw 2 title 'true (stand-in)', \\\n"
            "     'published_rpm.log' using 1:2 with points pt 7 ps 0.5 title 'published on /tachometer'\n");
    fclose(gp);
  }
  return 0;
}
