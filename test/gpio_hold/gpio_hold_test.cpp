// The shipped gpio_hold where only the sysfs GPIO stand-in shows it: what
// it writes and does not write, a console that is merely empty, and no
// sysfs at all. Its cases shared with the kernel board are in
// test/gpio/gpio_sysfs_test.cpp.
#include <gtest/gtest.h>

#include <string>

#include "gpio_holder.h"

namespace {

using GpioHold = GpioHolder;

TEST_F(GpioHold, ExportsALineNotExportedAsInputWithoutUnexportingFirst) {
  ASSERT_NO_FATAL_FAILURE(startHolder());
  ASSERT_TRUE(waitHolding());
  EXPECT_EQ("ok 333937", gpioBoard("written export"));
  EXPECT_EQ("ok 696e00", gpioBoard("written gpio397/direction"));
  EXPECT_EQ("ok", gpioBoard("written unexport"));
  EXPECT_FALSE(holder_.exited);
  ASSERT_NO_FATAL_FAILURE(expectReleasedBy("0\n"));
  EXPECT_EQ("", holder_.outText);
  EXPECT_EQ("", holder_.errText);
}

// Some launchers hand over a non-blocking console: an empty one is waited
// on, not taken for the end of input.
TEST_F(GpioHold, EmptyNonBlockingConsoleIsWaitedOn) {
  ASSERT_NO_FATAL_FAILURE(startHolder(kNonBlockingInput));
  ASSERT_TRUE(waitHolding());
  // Nothing to await: a holder that took EAGAIN for the end has released
  // the line well within this time.
  EXPECT_FALSE(waitExit(&holder_, 0.5));
  EXPECT_TRUE(lineIs("exported=1 direction=in"));
  ASSERT_NO_FATAL_FAILURE(expectReleasedBy("0\n"));
  EXPECT_EQ("", holder_.errText);
}

TEST_F(GpioHold, WithoutSysfsGpioReportsEachCallAndStillWaitsForZero) {
  stopGpioBoard(&sim_);
  ASSERT_NO_FATAL_FAILURE(startHolder());
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
