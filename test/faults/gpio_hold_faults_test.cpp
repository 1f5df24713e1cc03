// gpio_hold under interrupts and a failing value file, on the sysfs GPIO
// stand-in. The program handles no signals: killed while holding it leaves
// line 397 exported, and the next run must release and take it again.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "gpio_holder.h"
#include "process_watch.h"

namespace {

class GpioHoldFaults : public GpioHolder {
 protected:
  void SetUp() override {
    defaultStopSignals();
    GpioHolder::SetUp();
  }
};

// Holding is a blocked read: no processor time, and no sysfs file left
// open (the probe's stream included).
TEST_F(GpioHoldFaults, HoldingNeitherSpinsNorKeepsFilesOpen) {
  ASSERT_NO_FATAL_FAILURE(startHolder());
  ASSERT_TRUE(waitHolding());
  EXPECT_LT(cpuOverOneSecond(&holder_), kSpinShare);
  EXPECT_EQ(0, descriptorsInto(holder_.pid, "/sys/"));
  ASSERT_NO_FATAL_FAILURE(expectReleasedBy("0\n"));
  EXPECT_EQ("", holder_.errText);
}

// Each stopping signal ends the holder at once, by the signal and without
// a core; the line stays exported and the next run recovers it.
TEST_F(GpioHoldFaults, KilledWhileHoldingTheNextRunReleasesAndTakesTheLine) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
    SCOPED_TRACE(strsignal(sig));
    ASSERT_NO_FATAL_FAILURE(startHolder());
    ASSERT_TRUE(waitHolding());
    ASSERT_EQ(0, kill(holder_.pid, sig));
    ASSERT_TRUE(waitExit(&holder_, 10));
    EXPECT_TRUE(killedBy(holder_, sig)) << endOf(holder_);
    EXPECT_TRUE(lineIs("exported=1 direction=in"));

    // Without the probe's release the export would fail as busy.
    ASSERT_NO_FATAL_FAILURE(startHolder());
    ASSERT_TRUE(waitHolding());
    EXPECT_TRUE(waitUntil([] { return gpioBoard("written unexport") == "ok 333937"; }, 5));
    EXPECT_EQ("", holder_.errText) << "the export failed as busy";
    ASSERT_NO_FATAL_FAILURE(expectReleasedBy("0\n"));
    holder_ = Child();
  }
}

// An interrupt that lands anywhere in the start-up ends the holder by the
// signal (it handles none) and leaves at worst an exported line; the run
// after it always ends with the line released.
TEST_F(GpioHoldFaults, InterruptRightAfterStartIsRecoveredByTheNextRun) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    ASSERT_NO_FATAL_FAILURE(startHolder());
    ASSERT_EQ(0, kill(holder_.pid, SIGINT));
    ASSERT_TRUE(waitExit(&holder_, 10));
    EXPECT_TRUE(killedBy(holder_, SIGINT)) << endOf(holder_);
    ASSERT_NO_FATAL_FAILURE(startHolder());
    ASSERT_TRUE(waitHolding());
    ASSERT_NO_FATAL_FAILURE(expectReleasedBy("0\n"));
    EXPECT_EQ("", holder_.errText);
  }
}

// A left-over line whose value file refuses to open looks unexported to
// the probe: the export then fails as busy, which is reported, and the
// program still sets the direction, holds, and releases the line on 0.
TEST_F(GpioHoldFaults, ValueFileRefusingOpensIsReportedAndTheLineStillReleased) {
  ASSERT_EQ("ok", gpioBoard("export 397"));
  ASSERT_EQ("ok", gpioBoard("fault 397 open EACCES"));
  ASSERT_NO_FATAL_FAILURE(startHolder());
  ASSERT_TRUE(waitHolding());
  EXPECT_TRUE(waitForOutput(&holder_, "gpioExport: Device or resource busy\n", 5, true)) << holder_.errText;
  EXPECT_EQ(0, descriptorsInto(holder_.pid, "/sys/"));
  ASSERT_NO_FATAL_FAILURE(expectReleasedBy("0\n"));
  EXPECT_EQ("gpioExport: Device or resource busy\n", holder_.errText);
}

}  // namespace
