// The tachometer node stopped or left without its line mid-measurement:
// interrupts and terminations, a start before the line exists, and the pin
// holder restarted and stopped under the running node.
#include <signal.h>

#include "tachometer_fault_node.h"

namespace {

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

// Started before anything exported its line, the node reports every failed
// sample and starts measuring once the line appears.
TEST_F(TachometerFaults, StartedBeforeTheLineIsExported) {
  board("unexport 397");
  board("wave 397 rpm 600");
  ASSERT_NO_FATAL_FAILURE(startNode({}));
  const std::string missing = "gpioGetValue unable to open gpio397: No such file or directory\n";
  ASSERT_TRUE(waitForOutput(&node_, missing, 10, true));
  steadyDescriptors_ = openDescriptorCount(node_.pid);
  EXPECT_TRUE(readings_.empty());
  board("export 397");
  expectMeasuringAgain();
  EXPECT_TRUE(otherLines(node_.errText, missing).empty()) << node_.errText.substr(0, 300);
  interruptNode();
  EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
}

// The pin holder started while the node measures releases and takes the
// line again (its probe), and its stop releases the line under the node;
// the node lives through both and measures again under the next holder.
TEST_F(TachometerFaults, PinHolderRestartedAndStoppedUnderTheNode) {
  ASSERT_NO_FATAL_FAILURE(startMeasuring());
  const std::string holderPath = std::string(PELMORA_BIN_DIR) + "/gpio_hold";
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

  const std::string missing = "gpioGetValue unable to open gpio397: No such file or directory\n";
  ASSERT_TRUE(writeInput(&holder, "0\n"));
  ASSERT_TRUE(waitExit(&holder, 10));
  EXPECT_EQ(0, exitCode(holder)) << endOf(holder);
  ASSERT_TRUE(waitForOutput(&node_, missing, 10, true));
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

int main(int argc, char** argv) { return runNodeTests(argc, argv, "faults_tachometer_stops_test"); }
