// The car as a user drives it: the car tool bringing up, driving and
// stopping the shipped programs on a simulated board without a terminal,
// and the demo's scenario on top of it (published rpm close to the true
// wheel speed, the commands on the drive line with the neutral command
// last, the summary and plot written).
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "demo_logic.h"
#include "process.h"
#include "ros_master.h"

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
  ASSERT_TRUE(startChild(&demo, {PELMORA_SOURCE_DIR "/tools/demo", PELMORA_BUILD_DIR}, "",
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

// A process that runs: there, and not a zombie (nothing here reaps orphans).
bool runs(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t end = stat.rfind(") ");
  return end != std::string::npos && stat.compare(end + 2, 1, "Z") != 0;
}

// Pids of running processes whose command line mentions text.
std::vector<pid_t> processesMentioning(const std::string& text) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (struct dirent* e = readdir(proc)) {
    const pid_t pid = atoi(e->d_name);
    if (pid <= 0 || pid == getpid()) continue;
    std::string cmdline = readFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (cmdline.find(text) != std::string::npos && runs(pid)) found.push_back(pid);
  }
  closedir(proc);
  return found;
}

// One command pair as it reached the drive controller: its last byte's time.
struct Arrival {
  double time;
  int throttle;
  int steering;
};

std::vector<Arrival> drivePairs(const std::string& record) {
  std::vector<Arrival> pairs;
  std::istringstream lines(readFile(record));
  std::string line;
  int first = -1;
  while (std::getline(lines, line)) {
    double t;
    int byte;
    char rest;
    if (sscanf(line.c_str(), "%lf %d%c", &t, &byte, &rest) != 2) continue;  // open, close
    if (first < 0) {
      first = byte;
    } else {
      pairs.push_back({t, first, byte});
      first = -1;
    }
  }
  return pairs;
}

// When the pair first arrived after the given time, or -1 if not within seconds.
double arrivalAfter(const std::string& record, int throttle, int steering, double after, double seconds) {
  double at = -1;
  waitUntil(
      [&] {
        for (const Arrival& a : drivePairs(record))
          if (a.time > after && a.throttle == throttle && a.steering == steering) {
            at = a.time;
            return true;
          }
        return false;
      },
      seconds);
  return at;
}

// The car tool on a run folder of its own, with a master of the test's own.
class Car : public testing::Test {
 protected:
  void SetUp() override {
    dir = makeTempDir("/tmp/pelmora_car");
    ASSERT_NE("", dir);
    const int port = freeLoopbackPort();
    ASSERT_GT(port, 0);
    env = {"ROS_MASTER_URI=http://127.0.0.1:" + std::to_string(port), "ROS_HOSTNAME=127.0.0.1",
           "ROS_HOME=" + dir + "/ros_home", "CAR_BIN=" + programDir()};
  }
  void TearDown() override {
    car({"down"});
    removeTree(dir);
  }
  // Runs car with its standard input at its end, as from cron or ssh.
  int car(std::vector<std::string> args, std::string* output = nullptr, const std::string& input = "") {
    args.insert(args.begin(), PELMORA_SOURCE_DIR "/tools/car");
    args.push_back("--dir");
    args.push_back(dir);
    Child c;
    std::string error;
    if (!startChild(&c, args, "", env, &error)) {
      ADD_FAILURE() << error;
      return -1;
    }
    writeInput(&c, input);
    closeInput(&c);
    if (!waitExit(&c, 120)) stopChild(&c, SIGKILL, 5);
    if (output) *output = c.outText + c.errText;
    return exitCode(c);
  }
  // What car status says runs, by name.
  std::map<std::string, pid_t> running() {
    std::string status;
    car({"status"}, &status);
    std::map<std::string, pid_t> pids;
    std::istringstream lines(status);
    std::string line;
    while (std::getline(lines, line)) {
      char name[64];
      int pid;
      if (sscanf(line.c_str(), "%63s running (pid %d)", name, &pid) == 2) pids[name] = pid;
    }
    return pids;
  }
  std::string boardSetting(const std::string& name) {
    return lineAfter("\n" + readFile(dir + "/run/board.env"), "export " + name + "=");
  }

  std::string dir;
  std::vector<std::string> env;
};

TEST_F(Car, UpDrivesRestsWhenTheConsoleIsKilledAndDownWithoutATerminal) {
  std::string out;
  double start = nowSeconds();
  ASSERT_EQ(0, car({"up", "--simulated"}, &out)) << out;
  const double upSeconds = nowSeconds() - start;
  std::map<std::string, pid_t> pids = running();
  ASSERT_EQ(9u, pids.size()) << out;  // the board, the master and seven programs
  const std::string record = boardSetting("SIMBOARD_DRIVE_RECORD");
  const std::string boardDir = boardSetting("SIMBOARD_DIR");
  ASSERT_NE("", record);
  // gpio_hold holds the line on the board (seen through the keeper's root).
  const std::string line397 = "/proc/" + std::to_string(pids["board"]) + "/root/sys/class/gpio/gpio397";
  EXPECT_EQ(0, access(line397.c_str(), F_OK));
  ASSERT_GT(arrivalAfter(record, 60, 166, 0, 5), 0) << "the car starts at rest";

  // Typed commands reach the line: t1700 gives 70,166, then s60 70,196, and on.
  std::vector<double> latencies;
  int throttle = 1600, angle = 90;
  for (int i = 0; i < 20; ++i) {
    std::string command;
    if (i % 2 == 0) {
      throttle = 1700 + 10 * (i / 2);
      command = "t" + std::to_string(throttle);
    } else {
      angle = 60 + 10 * (i / 2);
      command = "s" + std::to_string(angle);
    }
    // At a random point of drive_command's 100 ms cycle, not in step with it.
    usleep(static_cast<useconds_t>(rand() % 100000));
    const double typed = nowSeconds();
    ASSERT_EQ(0, car({"type", "drive_command", command}, &out)) << out;
    const double at = arrivalAfter(record, (throttle - 1000) / 10, (256 - angle) % 256, typed, 5);
    ASSERT_GT(at, 0) << command << " never reached the drive controller";
    EXPECT_LT(at - typed, 1.0) << command;
    latencies.push_back(at - typed);
  }
  std::sort(latencies.begin(), latencies.end());
  printf("typed command to its pair on the line: median %.0f ms, worst %.0f ms (%zu commands)\n",
         1000 * (latencies[9] + latencies[10]) / 2, 1000 * latencies.back(), latencies.size());

  // car drive passes the operator's lines on and leaves the car running.
  std::vector<pid_t> gone;  // programs killed on the way
  double typed = nowSeconds();
  ASSERT_EQ(0, car({"drive"}, &out, "t1750\ns45\nq\n")) << out;
  EXPECT_GT(arrivalAfter(record, 75, 211, typed, 5), 0);

  // Either end of the operator's chain killed rests the car within 1.5 s:
  // teleop_files (its supervisor rests the files), then drive_command (the
  // deadman). status shows what died, and up starts only that again.
  struct Killed {
    std::string name;
    int steering;  // of t1700 afterwards: drive_command starts anew at 90
  };
  for (const Killed& k : {Killed{"teleop_files", 211}, Killed{"drive_command", 166}}) {
    const std::string& name = k.name;
    SCOPED_TRACE(name);
    const double killed = nowSeconds();
    ASSERT_EQ(0, kill(pids[name], SIGKILL));
    const double rest = arrivalAfter(record, 60, 166, killed, 5);
    ASSERT_GT(rest, 0) << "the car was not brought to rest";
    EXPECT_LT(rest - killed, 1.5);
    EXPECT_NE(0, car({"status"}, &out));
    EXPECT_NE(std::string::npos, lineAfter("\n" + out, name).find("exited (killed by SIGKILL)")) << out;

    ASSERT_EQ(0, car({"up", "--simulated"}, &out)) << out;
    std::map<std::string, pid_t> again = running();
    ASSERT_EQ(9u, again.size()) << out;
    for (const auto& p : pids) {
      if (p.first == name) continue;
      EXPECT_EQ(p.second, again[p.first]) << p.first << " was started again";
    }
    EXPECT_NE(pids[name], again[name]);
    gone.push_back(pids[name]);
    pids = again;
    // Commands reach the line again.
    typed = nowSeconds();
    ASSERT_EQ(0, car({"type", "drive_command", "t1700"}, &out)) << out;
    EXPECT_GT(arrivalAfter(record, 70, k.steering, typed, 5), 0);
  }

  // down: each program stops its own way, the neutral pair last, the line
  // released, nothing of the car left.
  start = nowSeconds();
  EXPECT_EQ(0, car({"down"}, &out)) << out;
  const double downSeconds = nowSeconds() - start;
  EXPECT_NE(std::string::npos, out.find("line 397 released")) << out;
  DriveSummary drive = summarizeDrive(readDriveRecordBytes(dir + "/logs/drive_controller.record"));
  EXPECT_TRUE(drive.lastIsNeutral) << drive.last;
  for (const auto& p : pids) EXPECT_FALSE(runs(p.second)) << p.first << " still runs";
  for (pid_t pid : gone) EXPECT_FALSE(runs(pid)) << pid << " (killed) still runs";
  EXPECT_EQ(std::vector<pid_t>(), processesMentioning(dir)) << "processes of the car still run";
  EXPECT_EQ(std::vector<pid_t>(), processesMentioning(boardDir)) << "stand-ins still run";
  printf("car up: %.1f s, car down: %.1f s\n", upSeconds, downSeconds);
}

}  // namespace
