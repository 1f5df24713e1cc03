// The shipped bridge builds on the kernel's own USB ACM ttys, inside
// test/tools/kernelboard: the test plays both controllers on the gadget ends
// (/dev/ttyGS0 behind /dev/ttyACM0, /dev/ttyGS1 behind /dev/ttyACM1) and
// pulls the cable by unbinding the gadget.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bridge_harness.h"
#include "kernel_board.h"

namespace {

class KernelSerial : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_ = makeCommandTree();
    drive_ = openGadget("/dev/ttyGS0");
    tacho_ = openGadget("/dev/ttyGS1");
    ASSERT_GE(drive_, 0);
    ASSERT_GE(tacho_, 0);
  }
  void TearDown() override {
    stopChild(&bridge_, SIGKILL, 5);
    if (drive_ >= 0) close(drive_);
    if (tacho_ >= 0) close(tacho_);
    if (access("/dev/ttyACM0", F_OK) != 0) plugCable();
    removeCommandTree(tree_);
  }
  void start(const Build& build, const std::vector<std::string>& args) {
    ASSERT_TRUE(startBridge(&bridge_, build.name, args, tree_.run)) << build.name;
  }
  // Reads the drive line until the bridge has exited, so a flooding writer
  // never blocks on a full line; returns every byte seen.
  std::vector<int> drainUntilExit(double seconds) {
    std::vector<int> bytes;
    waitUntil([&] {
      std::vector<int> more = readBytes(drive_, 4096, 0.01);
      bytes.insert(bytes.end(), more.begin(), more.end());
      return waitExit(&bridge_, 0.001);
    }, seconds);
    std::vector<int> rest = readBytes(drive_, 4096, 0.2);
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    return bytes;
  }
  // Reads the drive line until its last two bytes are this pair.
  bool waitLastPair(int throttle, int steering) {
    std::vector<int> seen;
    return waitUntil([&] {
      std::vector<int> more = readBytes(drive_, 4096, 0.01);
      seen.insert(seen.end(), more.begin(), more.end());
      return seen.size() >= 2 && seen[seen.size() - 2] == throttle && seen.back() == steering;
    }, 30);
  }
  // Reopens a gadget end after a cable pull hung it up.
  void reopen(int* fd, const std::string& path) {
    close(*fd);
    *fd = openGadget(path);
    ASSERT_GE(*fd, 0);
  }
  CommandTree tree_;
  Child bridge_;
  int drive_ = -1;
  int tacho_ = -1;
};

TEST_F(KernelSerial, NeutralModeSendsTheNeutralPairOnce) {
  for (const Build& build : kBuilds) {
    start(build, {});
    ASSERT_TRUE(waitExit(&bridge_, 30)) << build.name;
    EXPECT_EQ(0, exitCode(bridge_));
    EXPECT_EQ("port is open.\n", bridge_.outText);
    EXPECT_EQ((std::vector<int>{60, build.neutralSteering}), readBytes(drive_, 3, 1)) << build.name;
    bridge_ = Child();
  }
}

TEST_F(KernelSerial, ReaderPrintsNonZeroBytesOfEveryValue) {
  for (const Build& build : kBuilds) {
    start(build, {"read", "extra"});
    ASSERT_TRUE(waitHostRaw("/dev/ttyACM1", bridge_.pid, 30)) << build.name;
    ASSERT_TRUE(writeBytes(tacho_, {0, 5, 0, 255}));
    ASSERT_TRUE(waitForOutput(&bridge_, "Tachometer: 255\n", 30)) << bridge_.outText;
    std::vector<int> all;
    std::string expected = "port is open.\nTachometer: 5\nTachometer: 255\n";
    for (int b = 0; b < 256; ++b) {
      all.push_back(b);
      if (b != 0) expected += "Tachometer: " + std::to_string(b) + "\n";
    }
    ASSERT_TRUE(writeBytes(tacho_, all));
    ASSERT_TRUE(waitUntil([&] { pumpOutput(&bridge_, 0.05); return bridge_.outText == expected; }, 30))
        << bridge_.outText;
    ASSERT_TRUE(writeInput(&bridge_, "0\n"));
    // The reader may sit in its read: one more byte lets it see the stop.
    waitUntil([&] { writeBytes(tacho_, {0}); return waitExit(&bridge_, 0.1); }, 30);
    ASSERT_TRUE(bridge_.exited) << build.name;
    EXPECT_EQ(0, exitCode(bridge_));
    // Nothing was written to the drive line.
    EXPECT_TRUE(readBytes(drive_, 1, 0.1).empty());
    bridge_ = Child();
  }
}

TEST_F(KernelSerial, WriterFramesThePairsWithTheNeutralCommand) {
  for (const Build& build : kBuilds) {
    SCOPED_TRACE(build.name);
    writeCommandFiles(tree_, build, 1600, 90);
    start(build, {"write"});
    EXPECT_EQ((std::vector<int>{60, build.neutralSteering, 60, build.neutralSteering}), readBytes(drive_, 4, 30));
    writeCommandFiles(tree_, build, 1700, 45);
    // serial sends the changed pair once; serial_raw floods it.
    ASSERT_TRUE(waitLastPair(70, steeringOf(build, 45)));
    ASSERT_TRUE(writeInput(&bridge_, "0\n"));
    std::vector<int> rest = drainUntilExit(30);
    ASSERT_TRUE(bridge_.exited);
    EXPECT_EQ(0, exitCode(bridge_));
    ASSERT_GE(rest.size(), 2u);
    EXPECT_EQ(60, rest[rest.size() - 2]);
    EXPECT_EQ(build.neutralSteering, rest.back());
    // The two files change one after the other: 70 with the old steering
    // may come first. After the stop only the neutral command follows.
    if (build.name == "serial") {
      EXPECT_EQ((std::vector<int>{60, 166}), rest);
    }
    bridge_ = Child();
  }
}

TEST_F(KernelSerial, UnplugAndReplugUnderTheReader) {
  start(kBuilds[0], {"read"});
  ASSERT_TRUE(waitHostRaw("/dev/ttyACM1", bridge_.pid, 30));
  ASSERT_TRUE(writeBytes(tacho_, {5}));
  ASSERT_TRUE(waitForOutput(&bridge_, "Tachometer: 5\n", 30));
  ASSERT_TRUE(unplugCable());
  ASSERT_TRUE(waitForOutput(&bridge_, "sread: lost /dev/ttyACM1.\n", 30)) << bridge_.outText;
  reopen(&drive_, "/dev/ttyGS0");
  reopen(&tacho_, "/dev/ttyGS1");
  ASSERT_TRUE(plugCable());
  ASSERT_TRUE(waitUntil([&] { pumpOutput(&bridge_, 0.05); return bridge_.outText.rfind("port is open.\n") > 0; }, 30))
      << bridge_.outText;
  ASSERT_TRUE(waitHostRaw("/dev/ttyACM1", bridge_.pid, 30));
  ASSERT_TRUE(writeBytes(tacho_, {6}));
  ASSERT_TRUE(waitForOutput(&bridge_, "Tachometer: 6\n", 30)) << bridge_.outText;
  ASSERT_TRUE(writeInput(&bridge_, "0\n"));
  waitUntil([&] { writeBytes(tacho_, {0}); return waitExit(&bridge_, 0.1); }, 30);
  ASSERT_TRUE(bridge_.exited);
  EXPECT_EQ("port is open.\nTachometer: 5\nsread: lost /dev/ttyACM1.\nport is open.\nTachometer: 6\n",
            bridge_.outText);
}

TEST_F(KernelSerial, UnplugAndReplugUnderTheWriter) {
  const Build& build = kBuilds[0];
  writeCommandFiles(tree_, build, 1700, 45);
  start(build, {"write"});
  EXPECT_EQ((std::vector<int>{60, 166, 70, 211}), readBytes(drive_, 4, 30));
  ASSERT_TRUE(unplugCable());
  ASSERT_TRUE(waitForOutput(&bridge_, "swrite: lost /dev/ttyACM0.\n", 30)) << bridge_.outText;
  reopen(&drive_, "/dev/ttyGS0");
  reopen(&tacho_, "/dev/ttyGS1");
  ASSERT_TRUE(plugCable());
  // The re-plugged controller hears the neutral command, then the current pair.
  EXPECT_EQ((std::vector<int>{60, 166, 70, 211}), readBytes(drive_, 4, 30)) << bridge_.outText;
  writeCommandFiles(tree_, build, 1900, 60);
  ASSERT_TRUE(waitLastPair(90, steeringOf(build, 60)));
  ASSERT_TRUE(writeInput(&bridge_, "0\n"));
  EXPECT_EQ((std::vector<int>{60, 166}), drainUntilExit(30));
  ASSERT_TRUE(bridge_.exited);
  EXPECT_EQ(0u, bridge_.outText.find("port is open.\nThrottle = 1700\nSteering = 45\n\nswrite: lost /dev/ttyACM0.\n"))
      << bridge_.outText;
  EXPECT_NE(std::string::npos, bridge_.outText.find("port is open.\n", 1)) << bridge_.outText;
}

}  // namespace
