// The shipped gpio_hold against the sysfs GPIO stand-in at /sys/class/gpio.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "gpio_board.h"

namespace {

std::string holderPath() { return std::string(PELMORA_BIN_DIR) + "/gpio_hold"; }

bool stateHas(const std::string& field) {
  return gpioBoard("state 397").find(" " + field) != std::string::npos;
}

class GpioHold : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(startGpioBoard(&sim_, &error)) << error;
  }
  void TearDown() override {
    stopChild(&holder_, SIGKILL, 2);
    stopGpioBoard(&sim_);
  }
  void startHolder() {
    std::string error;
    ASSERT_TRUE(startChild(&holder_, {holderPath(), "ignored", "--args"}, "", {}, &error)) << error;
  }
  // Holding: the line is exported and "in" was written to its direction.
  bool waitHolding() {
    return waitUntil([] {
      return stateHas("exported=1 direction=in") && gpioBoard("written gpio397/direction") == "ok 696e00";
    }, 10);
  }
  Child sim_;
  Child holder_;
};

TEST_F(GpioHold, ExportsALineNotExportedAsInputWithoutUnexportingFirst) {
  startHolder();
  ASSERT_TRUE(waitHolding());
  EXPECT_EQ("ok 333937", gpioBoard("written export"));
  EXPECT_EQ("ok 696e00", gpioBoard("written gpio397/direction"));
  EXPECT_EQ("ok", gpioBoard("written unexport"));
  EXPECT_FALSE(holder_.exited);
  ASSERT_TRUE(writeInput(&holder_, "0\n"));
  ASSERT_TRUE(waitExit(&holder_, 10));
  EXPECT_EQ(0, exitCode(holder_));
  EXPECT_TRUE(stateHas("exported=0"));
  EXPECT_EQ("ok 333937", gpioBoard("written unexport"));
  EXPECT_EQ("", holder_.outText);
  EXPECT_EQ("", holder_.errText);
}

TEST_F(GpioHold, ReleasesALineLeftExportedAsAnOutputAndMakesItAnInput) {
  ASSERT_EQ("ok", gpioBoard("export 397"));
  ASSERT_EQ(0, system("echo out > /sys/class/gpio/gpio397/direction"));
  ASSERT_TRUE(stateHas("exported=1 direction=out"));
  startHolder();
  ASSERT_TRUE(waitHolding());
  EXPECT_EQ("ok 333937", gpioBoard("written unexport"));
  EXPECT_EQ("ok 333937", gpioBoard("written export"));
  closeInput(&holder_);
  ASSERT_TRUE(waitExit(&holder_, 10));
  EXPECT_EQ(0, exitCode(holder_));
  // No busy export, no other complaint.
  EXPECT_EQ("", holder_.errText);
}

TEST_F(GpioHold, KeepsHoldingOnNonZeroAndReleasesOnZero) {
  startHolder();
  ASSERT_TRUE(waitHolding());
  // The complaint about "abc" shows that 5, -3 and the huge numbers before
  // it were read and did not end the wait.
  ASSERT_TRUE(writeInput(&holder_, "5 -3\n4294967296 99999999999999999999 abc\n"));
  ASSERT_TRUE(waitForOutput(&holder_, "gpio_hold: not an integer, ignored: abc\n", 10, true));
  EXPECT_FALSE(waitExit(&holder_, 0.2));
  EXPECT_TRUE(stateHas("exported=1 direction=in"));
  ASSERT_TRUE(writeInput(&holder_, "0\n"));
  ASSERT_TRUE(waitExit(&holder_, 10));
  EXPECT_EQ(0, exitCode(holder_));
  EXPECT_TRUE(stateHas("exported=0"));
  EXPECT_EQ("gpio_hold: not an integer, ignored: abc\n", holder_.errText);
}

TEST_F(GpioHold, EndOfInputReleasesTheLine) {
  startHolder();
  ASSERT_TRUE(waitHolding());
  ASSERT_TRUE(writeInput(&holder_, "7"));
  closeInput(&holder_);
  ASSERT_TRUE(waitExit(&holder_, 10));
  EXPECT_EQ(0, exitCode(holder_));
  EXPECT_TRUE(stateHas("exported=0"));
}

TEST_F(GpioHold, WithoutSysfsGpioReportsEachCallAndStillWaitsForZero) {
  stopGpioBoard(&sim_);
  startHolder();
  ASSERT_TRUE(waitForOutput(&holder_, "gpioSetDirection unable to open gpio397", 10, true));
  EXPECT_FALSE(holder_.exited);
  ASSERT_TRUE(writeInput(&holder_, "0\n"));
  ASSERT_TRUE(waitExit(&holder_, 10));
  EXPECT_EQ(0, exitCode(holder_));
  EXPECT_EQ(
      "gpioExport unable to open gpio397: No such file or directory\n"
      "gpioSetDirection unable to open gpio397: No such file or directory\n"
      "gpioUnexport unable to open gpio397: No such file or directory\n",
      holder_.errText);
}

}  // namespace
