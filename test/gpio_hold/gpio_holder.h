// The shipped gpio_hold on the sysfs GPIO stand-in: a gtest fixture that
// starts both, knows when line 397 is held, and stops both at the end.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "gpio_board.h"
#include "process.h"

// True when the stand-in reports line 397 with these fields.
inline bool lineIs(const std::string& fields) {
  return gpioBoard("state 397").find(" " + fields) != std::string::npos;
}

class GpioHolder : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(startGpioBoard(&sim_, &error)) << error;
  }
  void TearDown() override {
    stopChild(&holder_, SIGKILL, 2);
    stopGpioBoard(&sim_);
  }
  // Arguments other than --no-console are ignored.
  void startHolder(InputMode input = kBlockingInput, std::vector<std::string> args = {"ignored", "--args"}) {
    args.insert(args.begin(), programPath("gpio_hold"));
    std::string error;
    ASSERT_TRUE(startChild(&holder_, args, "", {}, &error, input)) << error;
  }
  // Holding: the line is exported and "in" was written to its direction.
  bool waitHolding() {
    return waitUntil([] {
      return lineIs("exported=1 direction=in") && gpioBoard("written gpio397/direction") == "ok 696e00";
    }, 10);
  }
  // Sends text (which must end the wait) and expects the orderly release.
  void expectReleasedBy(const std::string& text) {
    ASSERT_TRUE(writeInput(&holder_, text));
    ASSERT_TRUE(waitExit(&holder_, 10)) << "still holding after \"" << text << "\"";
    EXPECT_EQ(0, exitCode(holder_)) << "status " << holder_.status;
    EXPECT_TRUE(lineIs("exported=0"));
    EXPECT_EQ("ok 333937", gpioBoard("written unexport"));
  }
  Child sim_;
  Child holder_;
};
