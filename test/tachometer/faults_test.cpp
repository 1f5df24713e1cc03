// The tachometer node while the GPIO stand-in fails under it: value file
// refusing opens, failing reads, short reads, the line unexported and
// exported again. The node must live through each, keep its descriptors,
// report through the library's messages, and measure correctly again once
// the fault is gone.
#include "tachometer_fault_node.h"

namespace {

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
  // A sample whose file was open as the line went away reads ENODEV, as
  // from the kernel's sysfs.
  ASSERT_NO_FATAL_FAILURE(holdFault("unexport 397", "gpioGetValue unable to open gpio397: No such file or directory\n",
                                    "gpioGetValue: No such device"));
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
  EXPECT_LE(openDescriptorCount(node_.pid), steadyDescriptors_ + 2);
  interruptNode();
  EXPECT_EQ(0, exitCode(node_)) << endOf(node_);
}

}  // namespace

int main(int argc, char** argv) { return runNodeTests(argc, argv, "faults_tachometer_test"); }
