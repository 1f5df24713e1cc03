// The demo's scenario (make demo): the car under roslaunch on a simulated
// board with a scripted operator; published rpm close to the true wheel
// speed, the commands on the drive line with the neutral command last, the
// summary and plot written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "demo_logic.h"
#include "process.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The rest of the line that starts with label in text, or "" without one.
std::string lineAfter(const std::string& text, const std::string& label) {
  size_t at = text.rfind("\n" + label);
  if (at == std::string::npos) return "";
  at += 1 + label.size();
  return text.substr(at, text.find('\n', at) - at);
}

std::vector<Sample> readSamples(const std::string& path) {
  std::vector<Sample> samples;
  std::ifstream in(path);
  Sample s;
  while (in >> s.t >> s.value) samples.push_back(s);
  return samples;
}

TEST(Demo, ScriptedRunMeasuresDrivesAndStopsAtNeutral) {
  const std::string out = makeTempDir("/tmp/pelmora_demo");
  ASSERT_NE("", out);
  Child demo;
  std::string error;
  ASSERT_TRUE(startChild(&demo, {PELMORA_SOURCE_DIR "/test/tools/demo", PELMORA_BUILD_DIR}, "",
                         {"DEMO_SECONDS=16", "DEMO_RPM=600", "DEMO_OUT=" + out}, &error))
      << error;
  ASSERT_TRUE(waitExit(&demo, 150)) << demo.outText << demo.errText;
  ASSERT_EQ(0, exitCode(demo)) << demo.outText << demo.errText;

  const std::string run = lineAfter("\n" + demo.outText, "demo: run folder ");
  ASSERT_EQ(out + "/", run.substr(0, out.size() + 1)) << demo.outText;
  // At its end the demo names the plot and the summary by their full paths.
  const std::string plot = lineAfter(demo.outText, "plot: ");
  const std::string summaryPath = lineAfter(demo.outText, "summary: ");
  EXPECT_EQ(run + "/rpm.png", plot) << demo.outText;
  EXPECT_EQ(run + "/summary.txt", summaryPath) << demo.outText;

  // Every speed of the scenario was measured within a few percent.
  std::vector<RpmSegment> segments =
      compareRpm(readSamples(run + "/true_rpm.log"), readSamples(run + "/published_rpm.log"), 1.5);
  ASSERT_GE(segments.size(), 3u) << readFile(run + "/summary.txt");
  for (const RpmSegment& s : segments) {
    EXPECT_LT(std::abs(s.errorPercent), 5.0) << "true " << s.trueRpm << " published " << s.meanPublished;
    EXPECT_GE(s.windows, 2) << "true " << s.trueRpm;
  }

  // The console commands reached the drive line, and the writer let go of
  // it with the neutral command.
  const std::vector<int> bytes = readDriveRecordBytes(run + "/drive_record.txt");
  DriveSummary drive = summarizeDrive(bytes);
  EXPECT_EQ("60,166", drive.first);
  EXPECT_TRUE(drive.lastIsNeutral) << drive.last;
  bool sawForward = false;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) sawForward = sawForward || (bytes[i] == 70 && bytes[i + 1] == 196);
  EXPECT_TRUE(sawForward) << "t1700 with s60 should give the pair 70,196";

  const std::string summary = readFile(summaryPath);
  EXPECT_NE(std::string::npos, summary.find("the neutral command")) << summary;
  EXPECT_NE(std::string::npos, summary.find("every program stopped in order")) << summary;
  struct stat png;
  ASSERT_EQ(0, stat(plot.c_str(), &png));
  EXPECT_GT(png.st_size, 1000);
  EXPECT_EQ("\x89PNG", readFile(plot).substr(0, 4));
  removeTree(out);
}

}  // namespace
