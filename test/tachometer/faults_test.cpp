// The tachometer node while the GPIO stand-in fails under it, and stopped
// or left without its line mid-measurement. Under a held fault it must
// live, keep its descriptors, report through the library's messages only,
// and measure correctly again once the fault is gone; stopped, it must
// exit 0 with every published window in its logs.
#include <signal.h>
#include <string.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "gpio_board.h"
#include "node_harness.h"
#include "process_watch.h"

namespace {

// 600 rpm: a change every 50 ms, a window of 5 changes every 250 ms.
const double kRpm = 600.0;
const double kTolerance = 90.0;
const char* const kRpmLog = "files/tachs_counts_5_speed_2000.txt";
const char* const kDurationLog = "files/times_counts_5_speed_2000.txt";
const char* const kMissing = "gpioGetValue unable to open gpio397: No such file or directory\n";

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

// A fault held under the measuring node for about a second.
struct HeldFault {
  const char* name;
  const char* inject;
  // The library's line for each failed sample. A read that returns no byte
  // names the call; what follows the colon is whatever error number was
  // left, so only the name is fixed.
  const char* message;
  // A line that may stand once at the fault's start: a sample whose file
  // was open as the line went away reads ENODEV, as from the kernel's sysfs.
  const char* alsoOnce;
  const char* clear;
};

const HeldFault kHeldFaults[] = {
    {"value file refusing opens", "fault 397 open EACCES", "gpioGetValue unable to open gpio397: Permission denied\n",
     "", "fault 397 none"},
    {"reads failing", "fault 397 read EIO", "gpioGetValue: Input/output error\n", "", "fault 397 none"},
    {"short reads", "fault 397 short", "gpioGetValue: ", "", "fault 397 none"},
    {"line unexported and exported again", "unexport 397", kMissing, "gpioGetValue: No such device", "export 397"},
};

class TachometerFaults : public TachometerNode {
 protected:
  // Measuring at kRpm, with the descriptor count of the steady node.
  void startMeasuring() {
    board("wave 397 rpm 600");
    ASSERT_NO_FATAL_FAILURE(startNode({}));
    ASSERT_TRUE(waitReadings(4, 30)) << readings_.size() << " readings";
    steadyDescriptors_ = openDescriptorCount(node_.pid);
    ASSERT_GT(steadyDescriptors_, 0);
  }

  // Holds the fault for about a second: the node lives, reports it with
  // its message lines only, and opens nothing it does not close.
  void holdFault(const HeldFault& fault) {
    const std::string message = fault.message;
    const size_t errBefore = node_.errText.size();
    board(fault.inject);
    ASSERT_TRUE(waitForOutput(&node_, message, 10, true)) << node_.errText.substr(errBefore, 500);
    int most = 0;
    const double until = nowSeconds() + 1.0;
    while (nowSeconds() < until) {
      pumpOutput(&node_, 0.05);
      ros::spinOnce();
      most = std::max(most, openDescriptorCount(node_.pid));
    }
    ASSERT_FALSE(waitExit(&node_, 0)) << endOf(node_);
    // A leak would be one descriptor per failed sample, thousands a second;
    // a couple of roscpp's own connections may come and go.
    EXPECT_LE(most, steadyDescriptors_ + 2);
    const std::string during = node_.errText.substr(errBefore);
    std::vector<std::string> others = otherLines(during, message);
    if (*fault.alsoOnce && !others.empty() && others[0] == fault.alsoOnce) others.erase(others.begin());
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
    EXPECT_LE(openDescriptorCount(node_.pid), steadyDescriptors_ + 2);
  }

  // Every published window is in the logs, in order.
  void expectPublishedWindowsLogged() {
    std::vector<LoggedWindow> windows = readWindows(path(kRpmLog), path(kDurationLog));
    EXPECT_GE(windows.size(), readings_.size());
    EXPECT_EQ(readings_.size(), alignReadings(readings_, windows).size());
  }

  int steadyDescriptors_ = -1;
};

TEST_F(TachometerFaults, HeldFaultsAreReportedAndMeasuringResumes) {
  for (const HeldFault& fault : kHeldFaults) {
    SCOPED_TRACE(fault.name);
    ASSERT_NO_FATAL_FAILURE(startMeasuring());
    ASSERT_NO_FATAL_FAILURE(holdFault(fault));
    // A read that returns no byte is not reported as a file that would not open.
    if (std::string(fault.inject) == "fault 397 short") {
      EXPECT_EQ(std::string::npos, node_.errText.find("unable to open"));
    }
    board(fault.clear);
    ASSERT_NO_FATAL_FAILURE(expectMeasuringAgain());
    interruptNode();
    EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
  }
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
  EXPECT_LE(openDescriptorCount(node_.pid), steadyDescriptors_ + 2);
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

// A second interrupt during the shutdown of the first changes nothing; a
// termination (as from a service manager, or roslaunch escalating) is a
// request to stop like the interrupt. Either way the windows already
// published reach the logs and the node exits 0.
TEST_F(TachometerFaults, StopRequestsMidMeasurementKeepTheLogs) {
  const std::vector<std::vector<int>> requests = {{SIGINT, SIGINT}, {SIGTERM}};
  for (const std::vector<int>& signals : requests) {
    SCOPED_TRACE(strsignal(signals.back()));
    ASSERT_NO_FATAL_FAILURE(startMeasuring());
    ASSERT_TRUE(waitReadings(8, 20));
    for (int sig : signals) ASSERT_EQ(0, kill(node_.pid, sig));
    ASSERT_TRUE(waitExit(&node_, 15));
    EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
    ros::spinOnce();
    expectPublishedWindowsLogged();
  }
}

// Started before anything exported its line, the node reports every failed
// sample and starts measuring once the line appears.
TEST_F(TachometerFaults, StartedBeforeTheLineIsExported) {
  board("unexport 397");
  board("wave 397 rpm 600");
  ASSERT_NO_FATAL_FAILURE(startNode({}));
  ASSERT_TRUE(waitForOutput(&node_, kMissing, 10, true));
  steadyDescriptors_ = openDescriptorCount(node_.pid);
  EXPECT_TRUE(readings_.empty());
  board("export 397");
  expectMeasuringAgain();
  EXPECT_TRUE(otherLines(node_.errText, kMissing).empty()) << node_.errText.substr(0, 300);
  interruptNode();
  EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
}

// The pin holder started while the node measures releases and takes the
// line again (its probe), and its stop releases the line under the node;
// the node lives through both and measures again under the next holder.
TEST_F(TachometerFaults, PinHolderRestartedAndStoppedUnderTheNode) {
  ASSERT_NO_FATAL_FAILURE(startMeasuring());
  const std::string holderPath = programPath("gpio_hold");
  Child holder;
  std::string error;
  ASSERT_TRUE(startChild(&holder, {holderPath}, "", {}, &error)) << error;
  ASSERT_TRUE(waitUntil([&] {
    pumpOutput(&node_, 0);
    ros::spinOnce();
    return gpioBoard("written unexport") == "ok 333937" &&
           gpioBoard("state 397").find(" exported=1 direction=in") != std::string::npos;
  }, 10));
  expectMeasuringAgain();

  ASSERT_TRUE(writeInput(&holder, "0\n"));
  ASSERT_TRUE(waitExit(&holder, 10));
  EXPECT_EQ(0, exitCode(holder)) << endOf(holder);
  ASSERT_TRUE(waitForOutput(&node_, kMissing, 10, true));
  EXPECT_FALSE(waitExit(&node_, 0.3)) << endOf(node_);
  EXPECT_LE(openDescriptorCount(node_.pid), steadyDescriptors_ + 2);

  Child next;
  ASSERT_TRUE(startChild(&next, {holderPath}, "", {}, &error)) << error;
  expectMeasuringAgain();
  ASSERT_TRUE(writeInput(&next, "0\n"));
  ASSERT_TRUE(waitExit(&next, 10));
  EXPECT_EQ("", holder.errText + next.errText);
  interruptNode();
  EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
}

}  // namespace

int main(int argc, char** argv) { return runNodeTests(argc, argv, "tachometer_faults_test"); }
