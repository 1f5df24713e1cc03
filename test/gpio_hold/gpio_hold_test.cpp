// The shipped gpio_hold against the sysfs GPIO stand-in at /sys/class/gpio.
#include <gtest/gtest.h>
#include <unistd.h>

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

TEST_F(GpioHold, ReleasesALineLeftExportedAsAnOutputAndMakesItAnInput) {
  ASSERT_EQ("ok", gpioBoard("export 397"));
  ASSERT_EQ(0, system("echo out > /sys/class/gpio/gpio397/direction"));
  ASSERT_TRUE(lineIs("exported=1 direction=out"));
  ASSERT_NO_FATAL_FAILURE(startHolder());
  ASSERT_TRUE(waitHolding());
  EXPECT_EQ("ok 333937", gpioBoard("written unexport"));
  EXPECT_EQ("ok 333937", gpioBoard("written export"));
  closeInput(&holder_);
  ASSERT_TRUE(waitExit(&holder_, 10));
  EXPECT_EQ(0, exitCode(holder_));
  // No busy export, no other complaint.
  EXPECT_EQ("", holder_.errText);
}

// Numbers are read as "%d" reads them: non-zero ones hold, huge ones
// saturate rather than wrap to 0, what follows a number in its word is
// dropped (so the -0 of "7-0" is no second number), and words that do not
// start with a number are dropped whole, all without a word on stderr.
TEST_F(GpioHold, KeepsHoldingOnNonZeroAndDropsTheRestOfEachWordSilently) {
  ASSERT_NO_FATAL_FAILURE(startHolder());
  ASSERT_TRUE(waitHolding());
  ASSERT_TRUE(writeInput(&holder_, "5 -3\n4294967296 99999999999999999999 -4294967296\n"));
  ASSERT_TRUE(writeInput(&holder_, "7abc abc 7-0 5+0 1.0 -x + - x0\n"));
  ASSERT_NO_FATAL_FAILURE(expectStillHolding());
  ASSERT_NO_FATAL_FAILURE(expectReleasedBy("0\n"));
  EXPECT_EQ("", holder_.errText);
}

// A finger that slips while stopping still stops. The first round has a
// non-blocking console, as some launchers hand over: an empty one is
// waited on, not taken for the end of input.
TEST_F(GpioHold, ZeroFollowedByOtherCharactersReleases) {
  InputMode input = kNonBlockingInput;
  for (const char* text : {"0.\n", "0abc\n", "+0\n", "-0,\n", "00\n"}) {
    SCOPED_TRACE(text);
    ASSERT_NO_FATAL_FAILURE(startHolder(input));
    ASSERT_TRUE(waitHolding());
    if (input == kNonBlockingInput) {
      // Nothing to await: a holder that took EAGAIN for the end has
      // released the line well within this time.
      EXPECT_FALSE(waitExit(&holder_, 0.5));
      EXPECT_TRUE(lineIs("exported=1 direction=in"));
      input = kBlockingInput;
    }
    ASSERT_NO_FATAL_FAILURE(expectReleasedBy(text));
    EXPECT_EQ("", holder_.errText);
    stopChild(&holder_, SIGKILL, 1);
  }
}

TEST_F(GpioHold, EndOfInputReleasesTheLine) {
  ASSERT_NO_FATAL_FAILURE(startHolder());
  ASSERT_TRUE(waitHolding());
  ASSERT_TRUE(writeInput(&holder_, "7"));
  closeInput(&holder_);
  ASSERT_TRUE(waitExit(&holder_, 10));
  EXPECT_EQ(0, exitCode(holder_));
  EXPECT_TRUE(lineIs("exported=0"));
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
