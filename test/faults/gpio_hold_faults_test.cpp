// gpio_hold under stop signals, kills and a failing value file, on the
// sysfs GPIO stand-in. SIGINT, SIGTERM and SIGHUP release line 397 as a
// typed 0 does; killed outright it leaves the line exported, and the next
// run must release and take it again.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

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

// Without a console (--no-console, standard input closed: its end would
// release the line) and with one.
struct Console {
  const char* name;
  InputMode input;
  std::vector<std::string> args;
};
const Console kConsoles[] = {{"console", kBlockingInput, {}}, {"no console", kClosedInput, {"--no-console"}}};

// Holding is a blocked wait: no processor time, and no sysfs file left
// open (the probe's stream included).
TEST_F(GpioHoldFaults, HoldingNeitherSpinsNorKeepsFilesOpen) {
  for (const Console& c : kConsoles) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(startHolder(c.input, c.args));
    ASSERT_TRUE(waitHolding());
    EXPECT_LT(cpuOverOneSecond(&holder_), kSpinShare);
    EXPECT_EQ(0, descriptorsInto(holder_.pid, "/sys/"));
    ASSERT_EQ(0, kill(holder_.pid, SIGTERM));
    ASSERT_TRUE(waitExit(&holder_, 10));
    EXPECT_EQ("", holder_.errText);
    holder_ = Child();
  }
}

// Each stop signal releases the line and ends the holder with status 0,
// with a console or without one; only SIGKILL leaves the line exported,
// and the next run releases it and takes it again.
TEST_F(GpioHoldFaults, EachStopSignalReleasesTheLineAndAKillIsRecoveredByTheNextRun) {
  for (const Console& c : kConsoles) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
      SCOPED_TRACE(std::string(c.name) + " / " + strsignal(sig));
      ASSERT_NO_FATAL_FAILURE(startHolder(c.input, c.args));
      ASSERT_TRUE(waitHolding());
      ASSERT_FALSE(waitExit(&holder_, 0)) << "it let go of the line by itself";
      ASSERT_EQ(0, kill(holder_.pid, sig));
      ASSERT_TRUE(waitExit(&holder_, 10));
      if (sig != SIGKILL) {
        EXPECT_EQ(0, exitCode(holder_)) << endOf(holder_);
        EXPECT_TRUE(lineIs("exported=0"));
        EXPECT_EQ("ok 333937", gpioBoard("written unexport"));
        EXPECT_EQ("", holder_.errText);
        holder_ = Child();
        continue;
      }
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
}

// An interrupt that lands anywhere in the start-up ends the holder, by the
// signal before its handler is in and with status 0 after; the line is at
// worst left exported, and the run after it always ends with it released.
TEST_F(GpioHoldFaults, InterruptRightAfterStartIsRecoveredByTheNextRun) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    ASSERT_NO_FATAL_FAILURE(startHolder());
    ASSERT_EQ(0, kill(holder_.pid, SIGINT));
    ASSERT_TRUE(waitExit(&holder_, 10));
    EXPECT_TRUE(killedBy(holder_, SIGINT) || exitCode(holder_) == 0) << endOf(holder_);
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
