// The shared gtest fixture of the serial bridge's process tests (kept out
// of bridge_harness.cpp, which is built without gtest).
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "bridge_harness.h"

// A command tree, the stand-ins and one bridge, all stopped after each test.
class BridgeTest : public testing::Test {
 protected:
  void SetUp() override { tree = makeCommandTree(); }
  void TearDown() override {
    reset();
    removeCommandTree(tree);
  }
  // Stops everything started, ready for the next case of a loop.
  void reset();

  std::string folder(const Build& build) const { return commandFolder(tree, build); }
  void setFiles(const Build& build, int throttle, int steering) { writeCommandFiles(tree, build, throttle, steering); }
  // Starts the drive controller, then the bridge in writer mode (any first
  // argument but "read").
  void startWriter(const Build& build, const std::string& word = "write",
                   const std::vector<std::string>& controllerArgs = {});
  bool waitBytes(size_t n);
  bool waitLastPair(int throttleByte, int steeringByte);
  // The bridge exits with status 0 within seconds, not killed by a signal.
  void expectCleanExit(double seconds = 10);
  // Whole pairs since the line was last opened, the neutral pair last,
  // then the line closed.
  void expectNeutralLast(const Build& build);
  // Types word (a 0 of some spelling) and expects both of the above.
  void stopAndExpectNeutralLast(const Build& build, const std::string& word = "0");

  CommandTree tree;
  Child bridge;
  Child tacho;
  DriveController drive;
};

inline void BridgeTest::reset() {
  stopChild(&bridge, SIGKILL, 5);
  stopChild(&drive.child, SIGTERM, 5);
  stopChild(&tacho, SIGTERM, 5);
  bridge = Child();
  drive = DriveController();
  tacho = Child();
}

inline void BridgeTest::startWriter(const Build& build, const std::string& word,
                                    const std::vector<std::string>& controllerArgs) {
  ASSERT_TRUE(startDriveController(&drive, controllerArgs));
  ASSERT_TRUE(startBridge(&bridge, build.name, {word}, tree.run));
}

inline bool BridgeTest::waitBytes(size_t n) {
  return waitDrive(&drive, [n](const DriveController& d) { return driveBytes(d).size() >= n; }, 10);
}

inline bool BridgeTest::waitLastPair(int throttleByte, int steeringByte) {
  return waitDrive(&drive, [=](const DriveController& d) {
    std::vector<int> b = driveBytes(d);
    return b.size() >= 2 && b[b.size() - 2] == throttleByte && b.back() == steeringByte;
  }, 10);
}

inline void BridgeTest::expectCleanExit(double seconds) {
  ASSERT_TRUE(waitExitReading(&bridge, &drive, seconds)) << "the bridge did not stop";
  EXPECT_TRUE(WIFEXITED(bridge.status)) << "ended by signal " << WTERMSIG(bridge.status);
  EXPECT_EQ(0, exitCode(bridge));
}

inline void BridgeTest::expectNeutralLast(const Build& build) {
  ASSERT_TRUE(waitDrive(&drive, [](const DriveController& d) {
    return !d.events.empty() && d.events.back().event == "close";
  }, 10));
  std::vector<int> bytes = bytesSinceLastOpen(drive);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(0u, bytes.size() % 2);
  EXPECT_EQ(60, bytes[bytes.size() - 2]);
  EXPECT_EQ(build.neutralSteering, bytes.back());
}

inline void BridgeTest::stopAndExpectNeutralLast(const Build& build, const std::string& word) {
  ASSERT_TRUE(writeInput(&bridge, word + "\n"));
  ASSERT_NO_FATAL_FAILURE(expectCleanExit());
  expectNeutralLast(build);
}
