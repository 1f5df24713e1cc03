// Tachometer node on the GPIO stand-in with a real master and subscriber:
// arguments and log names, truncation, shutdown, logs that cannot be opened.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>

#include "gpio_board.h"
#include "node_harness.h"
#include "process_watch.h"

namespace {

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  closedir(d);
  return names;
}

off_t sizeOf(const std::string& file) {
  struct stat st;
  return stat(file.c_str(), &st) == 0 ? st.st_size : -1;
}

long countOf(const std::string& text, const std::string& needle) {
  long n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// A previous run's logs of the same name are replaced, not appended to.
TEST_F(TachometerNode, SpeedOnlyRenamesLogsAndARestartTruncatesThem) {
  for (const char* name : {"files/tachs_counts_7_speed_1234.txt", "files/times_counts_7_speed_1234.txt"}) {
    std::ofstream old(path(name));
    for (int k = 0; k < 500; ++k) old << "99999.000000\n";
  }
  std::ofstream(path("files/raw_2000.txt")) << "left over\n";

  board("wave 397 rpm 600");
  // ROS arguments anywhere on the line are not counts or speed.
  ASSERT_NO_FATAL_FAILURE(startNode({"7", "__name:=tachometer", "1234"}));
  ASSERT_TRUE(waitReadings(4, 30)) << readings_.size() << " readings";
  interruptNode();
  EXPECT_EQ(0, exitCode(node_));

  EXPECT_EQ(0u, node_.outText.find("This iteration's\nCounts=7\nSpeed=1234\nFiles:\n"
                                   "'files/tachs_counts_7_speed_1234.txt'\n"
                                   "'files/times_counts_7_speed_1234.txt'\n"))
      << node_.outText.substr(0, 200);
  EXPECT_EQ((std::set<std::string>{"tachs_counts_7_speed_1234.txt", "times_counts_7_speed_1234.txt",
                                   "raw_2000.txt"}),
            entries(path("files")));
  EXPECT_EQ(0, sizeOf(path("files/raw_2000.txt")));

  std::vector<LoggedWindow> windows =
      readWindows(path("files/tachs_counts_7_speed_1234.txt"), path("files/times_counts_7_speed_1234.txt"));
  ASSERT_EQ(readings_.size(), alignReadings(readings_, windows).size());
  ASSERT_GE(windows.size(), 4u);
  EXPECT_LT(windows.size(), 100u) << "old lines left in the logs";
  for (size_t k = 1; k + 1 < windows.size(); ++k) {
    EXPECT_EQ(7, windows[k].changes);
    EXPECT_NEAR(600.0, windows[k].rpm, 90.0);
  }
}

// The interrupt closes the open window, which is logged like any other.
TEST_F(TachometerNode, InterruptLogsTheOpenWindowAndExits) {
  board("wave 397 interval 50000");
  ASSERT_NO_FATAL_FAILURE(startNode({"-1"}));  // windows of about 1 s
  ASSERT_TRUE(waitReadings(1, 30));
  const int64_t windowBegan = readings_[0].atNs;
  bool turned = spinUntil([&] {
    long n = 0;
    sscanf(board("changes 397 " + std::to_string(windowBegan) + " " + std::to_string(monotonicNs())).c_str(),
           "ok %ld", &n);
    return n >= 4;
  }, 10);
  ASSERT_TRUE(turned);
  interruptNode();
  EXPECT_EQ(0, exitCode(node_));

  std::vector<LoggedWindow> windows =
      readWindows(path("files/tachs_counts_-1_speed_2000.txt"), path("files/times_counts_-1_speed_2000.txt"));
  ASSERT_GE(windows.size(), 2u);
  ASSERT_EQ(readings_.size(), alignReadings(readings_, windows).size());
  const LoggedWindow& cut = windows.back();
  EXPECT_LT(cut.elapsedMs, 1000.0);
  EXPECT_GE(cut.changes, 1);
  long logged = 0;
  for (const LoggedWindow& w : windows) logged += w.changes;
  EXPECT_EQ(logged, static_cast<long>(changeLevels(node_.outText).size()));
}

// A line that never changes reads 0 every 2 s; the interrupt closes the
// open window, logged with 0 like the others.
TEST_F(TachometerNode, InterruptClosesAWindowWithoutChanges) {
  board("wave 397 const 0");
  ASSERT_NO_FATAL_FAILURE(startNode({}));
  const double started = nowSeconds();
  bool sampling = waitUntil([&] {
    pumpOutput(&node_, 0);
    return gpioBoardReads() >= 200;
  }, 15);
  ASSERT_TRUE(sampling);
  interruptNode();
  const double ranMs = (nowSeconds() - started) * 1000.0;
  EXPECT_EQ(0, exitCode(node_));
  for (const Reading& r : readings_) EXPECT_EQ(0.0, r.rpm);

  std::vector<LoggedWindow> windows = readWindows(path("files/tachs_counts_5_speed_2000.txt"),
                                                  path("files/times_counts_5_speed_2000.txt"));
  ASSERT_GE(windows.size(), readings_.size() + 1);
  double loggedMs = 0.0;
  for (const LoggedWindow& w : windows) {
    EXPECT_EQ(0.0, w.rpm);
    loggedMs += w.elapsedMs;
  }
  EXPECT_GT(windows.back().elapsedMs, 0.0);
  EXPECT_LT(windows.back().elapsedMs, 2000.0);
  EXPECT_LT(loggedMs, ranMs + 1000.0);
}

// Edge mode on a line that never changes: it sleeps, leaves on the
// interrupt within 0.5 s, and puts back the edge setting it found.
TEST_F(TachometerNode, EdgesSleepOnAStillLineStopPromptlyAndRestoreTheEdge) {
  board("wave 397 const 0");
  int fd = open("/sys/class/gpio/gpio397/edge", O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(7, write(fd, "rising", 7));
  close(fd);
  ASSERT_NO_FATAL_FAILURE(startNode({"7", "--edges", "1234"}));
  ASSERT_TRUE(waitUntil([&] {
    pumpOutput(&node_, 0);
    return board("state 397").find(" edge=both ") != std::string::npos && gpioBoardReads() >= 2;
  }, 15)) << board("state 397");
  // One read per 100 ms timeout; a busy poller makes thousands.
  EXPECT_LE(readsDuring(1.0), 30);

  const double interrupted = nowSeconds();
  stopChild(&node_, SIGINT, 10);
  const double stoppedMs = (nowSeconds() - interrupted) * 1000.0;
  // The wait itself ends within 100 ms; a sanitizer build's roscpp teardown
  // and exit take several times longer than a plain one's.
  const double boundMs = std::string(PELMORA_SANITIZE).empty() ? 500.0 : 1500.0;
  EXPECT_LT(stoppedMs, boundMs);
  EXPECT_EQ(0, exitCode(node_));
  EXPECT_EQ("", node_.errText);
  EXPECT_EQ(0u, node_.outText.find("This iteration's\nCounts=7\nSpeed=1234\n")) << node_.outText.substr(0, 100);
  EXPECT_NE(std::string::npos, board("state 397").find(" edge=rising ")) << board("state 397");
  std::vector<double> rpms = readNumbers(path("files/tachs_counts_7_speed_1234.txt"));
  ASSERT_GE(rpms.size(), 1u);
  for (double rpm : rpms) EXPECT_EQ(0.0, rpm);
}

// A line whose edge cannot be set is measured by busy polling, as without
// the flag, after one line of the node's own.
TEST_F(TachometerNode, RefusedEdgeFallsBackToPolling) {
  board("fault 397 edge EIO");
  board("wave 397 rpm 600");
  ASSERT_NO_FATAL_FAILURE(startNode({"--edges"}));
  ASSERT_TRUE(waitReadings(4, 30)) << readings_.size() << " readings";
  EXPECT_GT(readsDuring(0.5), 500);
  interruptNode();
  EXPECT_EQ(0, exitCode(node_));
  EXPECT_EQ("gpioSetEdge: Input/output error\n"
            "tachometer: cannot set the edge of gpio397, polling instead\n",
            node_.errText);
  for (size_t k = 1; k < readings_.size(); ++k) EXPECT_NEAR(600.0, readings_[k].rpm, 90.0);
  EXPECT_NE(std::string::npos, board("state 397").find(" edge=none ")) << board("state 397");
}

// A read of the open file that fails costs one line of the node's own and
// a retry 100 ms later; the first good read takes edge mode up again, and
// the edge is still put back at the end.
TEST_F(TachometerNode, FailedReadInEdgeModeWaitsOnEdgesAgain) {
  const std::string failed = "tachometer: cannot read gpio397 (Input/output error), "
                             "reading it ten times a second until it can\n";
  board("wave 397 rpm 600");
  ASSERT_NO_FATAL_FAILURE(startNode({"--edges"}));
  ASSERT_TRUE(waitReadings(2, 30)) << readings_.size() << " readings";
  board("fault 397 read EIO 1");
  ASSERT_TRUE(waitForOutput(&node_, failed, 10, true)) << node_.errText;
  // A read per change (20 a second) and per timeout, against thousands.
  EXPECT_LE(readsDuring(1.0), 60);
  // The windows from before the failure and the one that spans the retry
  // have come by now.
  const size_t before = readings_.size();
  ASSERT_TRUE(waitReadings(before + 4, 30)) << readings_.size() << " readings";
  EXPECT_NE(std::string::npos, board("state 397").find(" edge=both ")) << board("state 397");
  interruptNode();
  EXPECT_EQ(0, exitCode(node_));
  EXPECT_EQ(failed, node_.errText);
  for (size_t k = before; k < readings_.size(); ++k) EXPECT_NEAR(600.0, readings_[k].rpm, 90.0);
  EXPECT_NE(std::string::npos, board("state 397").find(" edge=none ")) << board("state 397");
}

// Refused at start with one line and exit 1, before the logs are touched:
// --events where the kernel has no GPIO character device (the simulated
// board has none), and both modes at once.
TEST_F(TachometerNode, EventsRefusedAtStartLeaveTheLogsAlone) {
  struct Case {
    std::vector<std::string> args;
    std::string error;
  } const cases[] = {
      {{"--events"}, "^tachometer: no GPIO character device on this kernel \\(Linux [^ )]+\\); --edges works here\n$"},
      {{"--edges", "7", "--events"}, "^tachometer: --edges and --events exclude each other\n$"},
  };
  std::ofstream(path("files/tachs_counts_5_speed_2000.txt")) << "left over\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    node_ = Child();
    std::string error;
    ASSERT_TRUE(startTachometer(&node_, dir_, c.args, &error)) << error;
    ASSERT_TRUE(waitExit(&node_, 30)) << endOf(node_);
    EXPECT_EQ(1, exitCode(node_));
    EXPECT_TRUE(std::regex_match(node_.errText, std::regex(c.error))) << node_.errText;
    EXPECT_EQ((std::set<std::string>{"tachs_counts_5_speed_2000.txt"}), entries(path("files")));
    EXPECT_EQ(10, sizeOf(path("files/tachs_counts_5_speed_2000.txt")));
  }
}

TEST_F(TachometerNode, MissingFilesFolderIsReportedAndMeasuringGoesOn) {
  ASSERT_EQ(0, rmdir(path("files").c_str()));
  board("wave 397 rpm 600");
  ASSERT_NO_FATAL_FAILURE(startNode({}));
  ASSERT_TRUE(waitReadings(3, 30));
  interruptNode();
  EXPECT_EQ(0, exitCode(node_));

  for (const char* name : {"files/tachs_counts_5_speed_2000.txt", "files/times_counts_5_speed_2000.txt",
                           "files/raw_2000.txt"}) {
    EXPECT_EQ(1, countOf(node_.errText, std::string("tachometer: cannot open ") + name +
                                            ": No such file or directory\n"))
        << node_.errText;
  }
  for (size_t k = 1; k < readings_.size(); ++k) EXPECT_NEAR(600.0, readings_[k].rpm, 90.0);
  EXPECT_TRUE(entries(dir_).empty());
}

TEST_F(TachometerNode, UnopenableLogIsSkippedAndTheOthersKept) {
  ASSERT_EQ(0, mkdir(path("files/tachs_counts_5_speed_2000.txt").c_str(), 0755));
  board("wave 397 rpm 600");
  ASSERT_NO_FATAL_FAILURE(startNode({}));
  ASSERT_TRUE(waitReadings(3, 30));
  interruptNode();
  EXPECT_EQ(0, exitCode(node_));

  EXPECT_EQ(1, countOf(node_.errText, "cannot open"));
  EXPECT_EQ(1, countOf(node_.errText, "tachometer: cannot open files/tachs_counts_5_speed_2000.txt: Is a directory\n"))
      << node_.errText;
  EXPECT_TRUE(entries(path("files/tachs_counts_5_speed_2000.txt")).empty());
  std::vector<double> durations = readNumbers(path("files/times_counts_5_speed_2000.txt"));
  EXPECT_GT(durations.size(), readings_.size());
  for (size_t k = 1; k + 1 < durations.size(); ++k) EXPECT_NEAR(250.0, durations[k], 37.5);
}

}  // namespace

int main(int argc, char** argv) { return runNodeTests(argc, argv, "tachometer_lifecycle_test"); }
