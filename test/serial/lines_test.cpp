// The shipped bridge builds in neutral mode and reader mode, against the
// controller stand-ins at /dev/ttyACM0 and /dev/ttyACM1.
#include <gtest/gtest.h>

#include <string>

#include "bridge_harness.h"

namespace {

class SerialLines : public testing::Test {
 protected:
  void SetUp() override { tree = makeCommandTree(); }
  void TearDown() override {
    stopChild(&bridge, SIGKILL, 5);
    stopChild(&tacho, SIGTERM, 5);
    stopChild(&drive.child, SIGTERM, 5);
    removeCommandTree(tree);
  }

  // Starts the reader and waits until the tachometer controller has seen
  // the line opened and made raw, so bytes sent now arrive as sent.
  void startReader(const std::vector<std::string>& args = {"read"}) {
    ASSERT_TRUE(startBridge(&bridge, "serial", args, tree.run));
    ASSERT_TRUE(waitForOutput(&tacho, "configured\n", 10)) << tacho.outText;
  }

  void stopAndExpectExit(const std::string& word = "0") {
    ASSERT_TRUE(writeInput(&bridge, word + "\n"));
    ASSERT_TRUE(waitExit(&bridge, 10)) << "the bridge did not stop on " << word;
    EXPECT_EQ(0, exitCode(bridge));
  }

  CommandTree tree;
  Child bridge;
  Child tacho;
  DriveController drive;
};

void expectNeutralMode(const CommandTree& tree, const std::string& build, int steering) {
  DriveController drive;
  ASSERT_TRUE(startDriveController(&drive));
  Child bridge;
  ASSERT_TRUE(startBridge(&bridge, build, {}, tree.run));
  // The console stays open: neutral mode must not wait for it.
  ASSERT_TRUE(waitExit(&bridge, 10)) << build << " waited instead of exiting";
  EXPECT_EQ(0, exitCode(bridge));
  EXPECT_EQ("port is open.\n", bridge.outText);
  EXPECT_EQ("", bridge.errText);
  ASSERT_TRUE(waitDrive(&drive, [](const DriveController& d) { return countEvents(d, "close") == 1; }, 10));
  EXPECT_EQ((std::vector<int>{60, steering}), driveBytes(drive));
  ASSERT_EQ(4u, drive.events.size());
  EXPECT_EQ("open", drive.events.front().event);
  EXPECT_EQ("close", drive.events.back().event);
  stopChild(&drive.child, SIGTERM, 5);
}

}  // namespace

TEST_F(SerialLines, NeutralModeSendsTheNeutralPairOnceAndExits) {
  expectNeutralMode(tree, "serial", 166);
  expectNeutralMode(tree, "serial_raw", 90);
}

TEST_F(SerialLines, NeutralModeWithoutTheDriveControllerSaysSoAndExitsZero) {
  for (const char* build : {"serial", "serial_raw"}) {
    Child b;
    ASSERT_TRUE(startBridge(&b, build, {}, tree.run));
    ASSERT_TRUE(waitExit(&b, 10));
    EXPECT_EQ(0, exitCode(b)) << build;
    EXPECT_EQ("open_port: Unable to open /dev/ttyACM0.\n", b.outText) << build;
  }
}

TEST_F(SerialLines, ReaderPrintsNonZeroBytesAndIgnoresFurtherArguments) {
  ASSERT_TRUE(startDriveController(&drive));
  for (const std::string build : {"serial", "serial_raw"}) {
    ASSERT_TRUE(startTachoController(&tacho));
    ASSERT_TRUE(startBridge(&bridge, build, {"read", "extra", "words"}, tree.run));
    ASSERT_TRUE(waitForOutput(&tacho, "configured\n", 10)) << build;
    ASSERT_TRUE(writeInput(&tacho, "send 0 5 0 255\n"));
    ASSERT_TRUE(waitForOutput(&bridge, "Tachometer: 255\n", 10)) << build << ": " << bridge.outText;
    stopAndExpectExit();
    EXPECT_EQ("port is open.\nTachometer: 5\nTachometer: 255\n", bridge.outText) << build;
    stopChild(&tacho, SIGTERM, 5);
    tacho = Child();
    bridge = Child();
  }
  // Reader mode leaves the drive controller's line alone.
  updateDrive(&drive, 0.05);
  EXPECT_EQ(0, countEvents(drive, "open"));
  EXPECT_TRUE(driveBytes(drive).empty());
}

TEST_F(SerialLines, EveryByteValueReachesTheReaderUnaltered) {
  ASSERT_TRUE(startTachoController(&tacho));
  startReader();
  std::string all = "send";
  std::string expected = "port is open.\n";
  for (int b = 0; b < 256; ++b) {
    all += " " + std::to_string(b);
    if (b != 0) expected += "Tachometer: " + std::to_string(b) + "\n";
  }
  ASSERT_TRUE(writeInput(&tacho, all + "\n"));
  ASSERT_TRUE(waitForOutput(&bridge, "Tachometer: 255\n", 10)) << bridge.outText;
  stopAndExpectExit();
  EXPECT_EQ(expected, bridge.outText);
}

TEST_F(SerialLines, ConsoleNumbersOtherThanZeroKeepTheReaderRunning) {
  ASSERT_TRUE(startTachoController(&tacho));
  startReader();
  ASSERT_TRUE(writeInput(&bridge, "7abc\n-1 abc 99999999999\n4294967296\n"));
  ASSERT_TRUE(writeInput(&tacho, "send 9\n"));
  ASSERT_TRUE(waitForOutput(&bridge, "Tachometer: 9\n", 10)) << bridge.outText;
  EXPECT_FALSE(bridge.exited);
  stopAndExpectExit();
  EXPECT_EQ("", bridge.errText);
}

TEST_F(SerialLines, ZeroFollowedByOtherCharactersStopsTheReaderPromptly) {
  for (const char* word : {"0", "0.", "0abc", "+0"}) {
    SCOPED_TRACE(word);
    ASSERT_TRUE(startTachoController(&tacho));
    startReader();
    // No byte arrives: the stop must not wait for one.
    const double typed = nowSeconds();
    stopAndExpectExit(word);
    const double took = nowSeconds() - typed;
    printf("stop by %s with an idle line took %.0f ms\n", word, took * 1000);
    EXPECT_LT(took, 2.0);
    EXPECT_EQ("", bridge.errText);
    stopChild(&tacho, SIGTERM, 5);
    tacho = Child();
    bridge = Child();
  }
}

TEST_F(SerialLines, EndOfInputStopsTheReader) {
  ASSERT_TRUE(startTachoController(&tacho));
  startReader();
  closeInput(&bridge);
  ASSERT_TRUE(waitExit(&bridge, 10));
  EXPECT_EQ(0, exitCode(bridge));
}

TEST_F(SerialLines, MissingTachometerControllerIsReportedOnceAndPickedUpWhenPlugged) {
  ASSERT_TRUE(startBridge(&bridge, "serial", {"read"}, tree.run));
  ASSERT_TRUE(waitForOutput(&bridge, "open_port: Unable to open /dev/ttyACM1.\n", 10));
  ASSERT_TRUE(startTachoController(&tacho));
  ASSERT_TRUE(waitForOutput(&tacho, "configured\n", 10)) << bridge.outText;
  ASSERT_TRUE(writeInput(&tacho, "send 33\n"));
  ASSERT_TRUE(waitForOutput(&bridge, "Tachometer: 33\n", 10)) << bridge.outText;
  stopAndExpectExit();
  EXPECT_EQ("open_port: Unable to open /dev/ttyACM1.\nport is open.\nTachometer: 33\n", bridge.outText);
}

TEST_F(SerialLines, UnpluggedTachometerControllerComesBackWhenReplugged) {
  ASSERT_TRUE(startTachoController(&tacho));
  startReader();
  ASSERT_TRUE(writeInput(&tacho, "send 5\n"));
  ASSERT_TRUE(waitForOutput(&bridge, "Tachometer: 5\n", 10));
  const size_t descriptors = openDescriptors(bridge.pid).size();
  ASSERT_TRUE(writeInput(&tacho, "unplug\n"));
  ASSERT_TRUE(waitForOutput(&bridge, "sread: lost /dev/ttyACM1.\n", 10)) << bridge.outText;
  // Let at least two reopening attempts fail before the controller returns;
  // waiting for it costs next to no CPU time (a spinning reader would use
  // most of it even on a loaded machine).
  const double lost = nowSeconds();
  const double cpuBefore = cpuSeconds(bridge.pid);
  waitUntil([&] { pumpOutput(&bridge, 0.05); return nowSeconds() - lost > 2.5; }, 5);
  EXPECT_LT(cpuSeconds(bridge.pid) - cpuBefore, 0.3);
  ASSERT_TRUE(writeInput(&tacho, "plug\n"));
  ASSERT_TRUE(waitUntil([&] { pumpOutput(&tacho, 0.01); return countOf(tacho.outText, "configured\n") == 2; }, 10))
      << bridge.outText;
  ASSERT_TRUE(writeInput(&tacho, "send 6\n"));
  ASSERT_TRUE(waitForOutput(&bridge, "Tachometer: 6\n", 10)) << bridge.outText;
  EXPECT_EQ(descriptors, openDescriptors(bridge.pid).size());
  stopAndExpectExit();
  EXPECT_EQ("port is open.\nTachometer: 5\nsread: lost /dev/ttyACM1.\nport is open.\nTachometer: 6\n",
            bridge.outText);
}
