// The tachometer node while the GPIO stand-in fails under it: value file
// refusing opens, failing reads, short reads, the line unexported and
// exported again, and interrupts and terminations mid-measurement. The
// node must live through each, keep its descriptors, report through the
// library's messages, and measure correctly again once the fault is gone.
#include <signal.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "node_harness.h"
#include "process_watch.h"

namespace {

// 600 rpm: a change every 50 ms, a window of 5 changes every 250 ms.
const double kRpm = 600.0;
const double kTolerance = 90.0;
const char* const kRpmLog = "files/tachs_counts_5_speed_2000.txt";
const char* const kDurationLog = "files/times_counts_5_speed_2000.txt";

// Standard error lines that are not the given library message.
std::vector<std::string> otherLines(const std::string& text, std::string message) {
  if (!message.empty() && message.back() == '\n') message.pop_back();
  std::vector<std::string> others;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, message.size(), message) != 0) others.push_back(line);
  return others;
}

class TachometerFaults : public TachometerNode {
 protected:
  // Measuring at kRpm, with the descriptor count of the steady node.
  void startMeasuring() {
    board("wave 397 rpm 600");
    ASSERT_NO_FATAL_FAILURE(startNode({}));
    ASSERT_TRUE(waitReadings(4, 30)) << readings_.size() << " readings";
    steadyDescriptors_ = openDescriptors(node_.pid);
    ASSERT_GT(steadyDescriptors_, 0);
  }

  // Holds the fault for about a second: the node lives, reports it with
  // `message` lines only, and opens nothing it does not close.
  void holdFault(const std::string& inject, const std::string& message) {
    const size_t errBefore = node_.errText.size();
    board(inject);
    ASSERT_TRUE(waitForOutput(&node_, message, 10, true)) << node_.errText.substr(errBefore, 500);
    int most = 0;
    const double until = nowSeconds() + 1.0;
    while (nowSeconds() < until) {
      pumpOutput(&node_, 0.05);
      ros::spinOnce();
      most = std::max(most, openDescriptors(node_.pid));
    }
    ASSERT_FALSE(waitExit(&node_, 0)) << endOf(node_);
    // A leak would be one descriptor per failed sample, thousands a second;
    // a couple of roscpp's own connections may come and go.
    EXPECT_LE(most, steadyDescriptors_ + 2);
    const std::string during = node_.errText.substr(errBefore);
    const std::vector<std::string> others = otherLines(during, message);
    EXPECT_TRUE(others.empty()) << others.size() << " other lines, first: " << others[0];
    EXPECT_GT(during.size() / message.size(), 10u) << "one message per failed sample expected";
  }

  // After the fault is cleared: publishing again, at the wave's rpm. The
  // median, since a busy machine may stall the polling past a change.
  void expectMeasuringAgain() {
    const size_t from = readings_.size();
    // The window that spans the fault is skipped, then five are checked.
    ASSERT_TRUE(waitReadings(from + 7, 30)) << readings_.size() - from << " readings after the fault";
    std::vector<double> rpms;
    for (size_t k = from + 2; k < from + 7; ++k) rpms.push_back(readings_[k].rpm);
    std::nth_element(rpms.begin(), rpms.begin() + 2, rpms.end());
    EXPECT_NEAR(kRpm, rpms[2], kTolerance);
    EXPECT_LE(openDescriptors(node_.pid), steadyDescriptors_ + 2);
  }

  int steadyDescriptors_ = -1;
};

TEST_F(TachometerFaults, ValueFileRefusingOpens) {
  ASSERT_NO_FATAL_FAILURE(startMeasuring());
  ASSERT_NO_FATAL_FAILURE(holdFault("fault 397 open EACCES", "gpioGetValue unable to open gpio397: Permission denied\n"));
  board("fault 397 none");
  expectMeasuringAgain();
  interruptNode();
  EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
}

TEST_F(TachometerFaults, ReadsFailing) {
  ASSERT_NO_FATAL_FAILURE(startMeasuring());
  ASSERT_NO_FATAL_FAILURE(holdFault("fault 397 read EIO", "gpioGetValue: Input/output error\n"));
  board("fault 397 none");
  expectMeasuringAgain();
  interruptNode();
  EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
}

// A read that returns no byte: the library names the call; what follows
// the colon is whatever error number was left, so only the name is fixed.
TEST_F(TachometerFaults, ShortReads) {
  ASSERT_NO_FATAL_FAILURE(startMeasuring());
  ASSERT_NO_FATAL_FAILURE(holdFault("fault 397 short", "gpioGetValue: "));
  EXPECT_EQ(std::string::npos, node_.errText.find("unable to open"));
  board("fault 397 none");
  expectMeasuringAgain();
  interruptNode();
  EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
}

TEST_F(TachometerFaults, LineUnexportedAndExportedAgain) {
  ASSERT_NO_FATAL_FAILURE(startMeasuring());
  ASSERT_NO_FATAL_FAILURE(holdFault("unexport 397", "gpioGetValue unable to open gpio397: No such file or directory\n"));
  board("export 397");
  expectMeasuringAgain();
  interruptNode();
  EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
}

// Failures far shorter than a level lasts only cost samples: every
// change is still seen, so the rpm stays right throughout.
TEST_F(TachometerFaults, BriefFailuresLoseNoChange) {
  ASSERT_NO_FATAL_FAILURE(startMeasuring());
  const size_t from = readings_.size();
  const char* const faults[] = {"fault 397 read EIO 20", "fault 397 open EACCES 20", "fault 397 short 20"};
  int injected = 0;
  const double until = nowSeconds() + 3.0;
  while (nowSeconds() < until) {
    board(faults[injected++ % 3]);
    pumpOutput(&node_, 0.02);
    ros::spinOnce();
  }
  board("fault 397 none");
  ASSERT_TRUE(waitReadings(from + 8, 20));
  for (size_t k = from + 1; k < readings_.size(); ++k) EXPECT_NEAR(kRpm, readings_[k].rpm, kTolerance) << k;
  EXPECT_NE(std::string::npos, node_.errText.find("gpioGetValue: Input/output error\n"));
  EXPECT_NE(std::string::npos, node_.errText.find("gpioGetValue unable to open gpio397: Permission denied\n"));
  EXPECT_LE(openDescriptors(node_.pid), steadyDescriptors_ + 2);
  interruptNode();
  EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
}

// Interrupted while its reads fail, the node closes the open window, logs
// it with the others and exits 0.
TEST_F(TachometerFaults, InterruptWhileReadsFail) {
  ASSERT_NO_FATAL_FAILURE(startMeasuring());
  board("fault 397 read EIO");
  ASSERT_TRUE(waitForOutput(&node_, "gpioGetValue: Input/output error\n", 10, true));
  const double failingSince = nowSeconds();
  while (nowSeconds() - failingSince < 0.6) pumpOutput(&node_, 0.05);
  interruptNode();
  EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
  std::vector<LoggedWindow> windows = readWindows(path(kRpmLog), path(kDurationLog));
  ASSERT_GE(windows.size(), readings_.size() + 1);
  EXPECT_EQ(readings_.size(), alignReadings(readings_, windows).size());
  // The window cut short: it saw no change while the reads failed.
  EXPECT_GE(windows.back().elapsedMs, 500.0);
  EXPECT_LT(windows.back().changes, 5);
}

// A second interrupt during the shutdown of the first changes nothing.
TEST_F(TachometerFaults, DoubleInterruptMidMeasurement) {
  ASSERT_NO_FATAL_FAILURE(startMeasuring());
  ASSERT_EQ(0, kill(node_.pid, SIGINT));
  ASSERT_EQ(0, kill(node_.pid, SIGINT));
  ASSERT_TRUE(waitExit(&node_, 15));
  EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
  ros::spinOnce();
  std::vector<LoggedWindow> windows = readWindows(path(kRpmLog), path(kDurationLog));
  EXPECT_GE(windows.size(), readings_.size());
  EXPECT_EQ(readings_.size(), alignReadings(readings_, windows).size());
}

// A termination (as from a service manager, or roslaunch escalating) is a
// request to stop like the interrupt: the windows already published must
// reach the logs, and the node exits 0.
TEST_F(TachometerFaults, TerminateMidMeasurementKeepsTheLogs) {
  ASSERT_NO_FATAL_FAILURE(startMeasuring());
  ASSERT_TRUE(waitReadings(8, 20));
  ASSERT_EQ(0, kill(node_.pid, SIGTERM));
  ASSERT_TRUE(waitExit(&node_, 15));
  EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
  ros::spinOnce();
  std::vector<LoggedWindow> windows = readWindows(path(kRpmLog), path(kDurationLog));
  EXPECT_GE(windows.size(), readings_.size());
  EXPECT_EQ(readings_.size(), alignReadings(readings_, windows).size());
}

}  // namespace

int main(int argc, char** argv) { return runNodeTests(argc, argv, "faults_tachometer_test"); }
