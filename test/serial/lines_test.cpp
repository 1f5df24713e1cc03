// The shipped bridge builds in neutral mode and reader mode, against the
// controller stand-ins at /dev/ttyACM0 and /dev/ttyACM1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge_fixture.h"

namespace {

class SerialLines : public BridgeTest {
 protected:
  // Starts the reader and waits until the tachometer controller has seen
  // the line opened and made raw, so bytes sent now arrive as sent.
  void startReader(const Build& build = kBuilds[0], const std::vector<std::string>& args = {"read"}) {
    ASSERT_TRUE(startBridge(&bridge, build.name, args, tree.run));
    ASSERT_TRUE(waitForOutput(&tacho, "configured\n", 10)) << tacho.outText;
  }

  void stopAndExpectExit() {
    ASSERT_TRUE(writeInput(&bridge, "0\n"));
    expectCleanExit();
  }
};

}  // namespace

TEST_F(SerialLines, NeutralModeSendsTheNeutralPairOnceAndExits) {
  for (const Build& build : kBuilds) {
    SCOPED_TRACE(build.name);
    ASSERT_TRUE(startDriveController(&drive));
    ASSERT_TRUE(startBridge(&bridge, build.name, {}, tree.run));
    // The console stays open: neutral mode must not wait for it.
    expectCleanExit();
    EXPECT_EQ("port is open.\n", bridge.outText);
    EXPECT_EQ("", bridge.errText);
    ASSERT_TRUE(waitDrive(&drive, [](const DriveController& d) { return countEvents(d, "close") == 1; }, 10));
    EXPECT_EQ((std::vector<int>{60, build.neutralSteering}), driveBytes(drive));
    ASSERT_EQ(4u, drive.events.size());
    EXPECT_EQ("open", drive.events.front().event);
    EXPECT_EQ("close", drive.events.back().event);
    reset();
  }
}

TEST_F(SerialLines, NeutralModeWithoutTheDriveControllerSaysSoAndExitsZero) {
  for (const Build& build : kBuilds) {
    SCOPED_TRACE(build.name);
    ASSERT_TRUE(startBridge(&bridge, build.name, {}, tree.run));
    expectCleanExit();
    EXPECT_EQ("open_port: Unable to open /dev/ttyACM0.\n", bridge.outText);
    reset();
  }
}

TEST_F(SerialLines, ReaderPrintsNonZeroBytesAndIgnoresFurtherArguments) {
  ASSERT_TRUE(startDriveController(&drive));
  for (const Build& build : kBuilds) {
    SCOPED_TRACE(build.name);
    ASSERT_TRUE(startTachoController(&tacho));
    startReader(build, {"read", "extra", "words"});
    ASSERT_TRUE(writeInput(&tacho, "send 0 5 0 255\n"));
    ASSERT_TRUE(waitForOutput(&bridge, "Tachometer: 255\n", 10)) << bridge.outText;
    stopAndExpectExit();
    EXPECT_EQ("port is open.\nTachometer: 5\nTachometer: 255\n", bridge.outText);
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

// The reader waits for bytes in slices, so a stop needs no byte to arrive.
TEST_F(SerialLines, ZeroStopsTheReaderPromptlyOnAnIdleLine) {
  ASSERT_TRUE(startTachoController(&tacho));
  startReader();
  const double typed = nowSeconds();
  stopAndExpectExit();
  const double took = nowSeconds() - typed;
  printf("stop with an idle line took %.0f ms\n", took * 1000);
  EXPECT_LT(took, 2.0);
  EXPECT_EQ("", bridge.errText);
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
