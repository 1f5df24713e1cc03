// The shipped bridge builds in writer mode: command files in a temporary
// tree, the drive controller stand-in at /dev/ttyACM0 recording the bytes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bridge_fixture.h"

namespace {

class CommandWriter : public testing::Test {
 protected:
  void SetUp() override { tree = makeCommandTree(); }
  void TearDown() override {
    stopChild(&bridge, SIGKILL, 5);
    stopChild(&drive.child, SIGTERM, 5);
    if (watch >= 0) close(watch);
    removeCommandTree(tree);
  }

  // Writes the serial build's command files (atomically).
  void setFiles(int throttle, int steering, const std::string& dir = "") {
    const std::string& d = dir.empty() ? tree.teleop : dir;
    writeAtomically(d + "/throttle.txt", std::to_string(throttle) + "\n");
    writeAtomically(d + "/steering.txt", std::to_string(steering) + "\n");
  }

  // The drive controller takes bytes at the line's rate unless told --unpaced.
  void start(const std::string& build = "serial", const std::string& word = "write",
             const std::vector<std::string>& controllerArgs = {}) {
    ASSERT_TRUE(startDriveController(&drive, controllerArgs));
    ASSERT_TRUE(startBridge(&bridge, build, {word}, tree.run));
  }

  bool waitBytes(size_t n) {
    return waitDrive(&drive, [n](const DriveController& d) { return driveBytes(d).size() >= n; }, 10);
  }

  // Waits until the writer has made n more passes over its files.
  void waitPasses(int n, const std::string& file = "throttle.txt") {
    if (watch < 0) watch = watchFileReads(tree.teleop);
    ASSERT_TRUE(waitForFileReads(watch, file, n, 10));
  }

  // Typing word (a 0 of some spelling) stops the writer. The record is read
  // meanwhile: a stand-in blocked on its own full output stops reading the
  // line, and a flooding writer would then wait on a stalled line.
  void stopAndExpectExit(const std::string& word = "0") {
    ASSERT_TRUE(writeInput(&bridge, word + "\n"));
    ASSERT_TRUE(waitExitReading(&bridge, &drive, 10)) << "the writer did not stop on " << word;
    EXPECT_EQ(0, exitCode(bridge));
    ASSERT_TRUE(waitDrive(&drive, [](const DriveController& d) { return countEvents(d, "close") >= 1; }, 10));
  }

  // The bytes after the final neutral pair must be none: the line closes.
  void expectEndsWithNeutral(int steering) {
    std::vector<int> bytes = driveBytes(drive);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(60, bytes[bytes.size() - 2]);
    EXPECT_EQ(steering, bytes.back());
    EXPECT_EQ("close", drive.events.back().event);
  }

  CommandTree tree;
  Child bridge;
  DriveController drive;
  int watch = -1;
};

}  // namespace

TEST_F(CommandWriter, SerialRepeatsNeutralOnFirstPassThenSendsOnlyChanges) {
  setFiles(1600, 90);
  start();
  ASSERT_TRUE(waitBytes(4));
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 90), 10));
  waitPasses(200);
  updateDrive(&drive, 0);
  pumpOutput(&bridge, 0);
  EXPECT_EQ((std::vector<int>{60, 166, 60, 166}), driveBytes(drive));
  EXPECT_EQ("port is open.\n" + echo(1600, 90), bridge.outText);

  // 1609 still encodes as 60: nothing is sent or echoed.
  writeAtomically(tree.teleop + "/throttle.txt", "1609\n");
  waitPasses(200);
  writeAtomically(tree.teleop + "/throttle.txt", "1610\n");
  ASSERT_TRUE(waitBytes(6));
  ASSERT_TRUE(waitForOutput(&bridge, echo(1610, 90), 10));
  stopAndExpectExit();
  EXPECT_EQ((std::vector<int>{60, 166, 60, 166, 61, 166, 60, 166}), driveBytes(drive));
  EXPECT_EQ("port is open.\n" + echo(1600, 90) + echo(1610, 90), bridge.outText);
  expectEndsWithNeutral(166);
}

TEST_F(CommandWriter, SerialEncodesAndEchoesTheTableValues) {
  setFiles(995, 90);
  start();
  ASSERT_TRUE(waitBytes(4));
  ASSERT_TRUE(waitForOutput(&bridge, echo(1000, 90), 10));
  writeAtomically(tree.teleop + "/throttle.txt", "990\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(3550, 90), 10));
  writeAtomically(tree.teleop + "/steering.txt", "-90\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(3550, -90), 10));
  writeAtomically(tree.teleop + "/throttle.txt", "2000\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(2000, -90), 10));
  writeAtomically(tree.teleop + "/steering.txt", "300\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(2000, 300), 10));
  writeAtomically(tree.teleop + "/throttle.txt", "3560\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1000, 300), 10));
  stopAndExpectExit();
  EXPECT_EQ((std::vector<int>{60, 166, 0, 166, 255, 166, 255, 90, 100, 90, 100, 212, 0, 212, 60, 166}),
            driveBytes(drive));
}

TEST_F(CommandWriter, SerialFirstPairEqualToInitialLastSentIsNotSent) {
  setFiles(990, 1);  // encodes as 255, 255
  start();
  ASSERT_TRUE(waitBytes(2));
  waitPasses(200);
  writeAtomically(tree.teleop + "/steering.txt", "2\n");
  ASSERT_TRUE(waitBytes(4));
  ASSERT_TRUE(waitForOutput(&bridge, echo(3550, 2), 10));
  stopAndExpectExit();
  EXPECT_EQ((std::vector<int>{60, 166, 255, 254, 60, 166}), driveBytes(drive));
  EXPECT_EQ("port is open.\n" + echo(3550, 2), bridge.outText);
}

TEST_F(CommandWriter, StopAfterANeutralPairStillEndsWithTheNeutralPair) {
  setFiles(1600, 90);
  start("serial", "go");
  ASSERT_TRUE(waitBytes(4));
  stopAndExpectExit();
  EXPECT_EQ((std::vector<int>{60, 166, 60, 166, 60, 166}), driveBytes(drive));
  expectEndsWithNeutral(166);
}

TEST_F(CommandWriter, NothingButNeutralUntilBothFilesGaveAValue) {
  writeAtomically(tree.teleop + "/throttle.txt", "1700\n");
  start();
  ASSERT_TRUE(waitBytes(2));
  waitPasses(200);
  updateDrive(&drive, 0);
  EXPECT_EQ((std::vector<int>{60, 166}), driveBytes(drive));
  // A steering file that exists but holds no integer yet gives no value.
  writeInPlace(tree.teleop + "/steering.txt", "");
  waitPasses(200);
  updateDrive(&drive, 0);
  EXPECT_EQ(2u, driveBytes(drive).size());
  writeAtomically(tree.teleop + "/steering.txt", "45\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1700, 45), 10));
  stopAndExpectExit();
  EXPECT_EQ((std::vector<int>{60, 166, 70, 211, 60, 166}), driveBytes(drive));
  EXPECT_EQ("port is open.\n" + echo(1700, 45), bridge.outText);
}

TEST_F(CommandWriter, MissingOrHalfWrittenFileKeepsThePreviousValue) {
  setFiles(1600, 90);
  start();
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 90), 10));
  ASSERT_EQ(0, unlink((tree.teleop + "/throttle.txt").c_str()));
  // The missing file is never read: count the passes by the other one.
  waitPasses(200, "steering.txt");
  writeAtomically(tree.teleop + "/steering.txt", "45\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 45), 10));
  // Truncated, then a lone sign: neither is a number.
  writeInPlace(tree.teleop + "/throttle.txt", "");
  writeInPlace(tree.teleop + "/throttle.txt", "-");
  waitPasses(200);
  writeAtomically(tree.teleop + "/steering.txt", "46\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 46), 10));
  writeInPlace(tree.teleop + "/throttle.txt", "1700");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1700, 46), 10));
  stopAndExpectExit();
  EXPECT_EQ((std::vector<int>{60, 166, 60, 166, 60, 211, 60, 210, 70, 210, 60, 166}), driveBytes(drive));
}

TEST_F(CommandWriter, EveryByteValueReachesTheDriveControllerUnaltered) {
  setFiles(1000, 90);
  start();
  std::vector<int> expected = {60, 166, 0, 166};
  ASSERT_TRUE(waitBytes(expected.size()));
  for (int b = 1; b < 256; ++b) {
    writeAtomically(tree.teleop + "/throttle.txt", std::to_string(1000 + 10 * b));
    expected.insert(expected.end(), {b, 166});
    ASSERT_TRUE(waitBytes(expected.size())) << "throttle byte " << b;
  }
  for (int b = 0; b < 256; ++b) {
    writeAtomically(tree.teleop + "/steering.txt", std::to_string(-b));
    expected.insert(expected.end(), {255, b});
    ASSERT_TRUE(waitBytes(expected.size())) << "steering byte " << b;
  }
  stopAndExpectExit();
  expected.insert(expected.end(), {60, 166});
  EXPECT_EQ(expected, driveBytes(drive));
}

TEST_F(CommandWriter, ConsoleReadsNumbersAsPercentDAndSaysNothingOfTheRest) {
  setFiles(1600, 90);
  start();
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 90), 10));
  // 7abc is 7 and its abc is dropped, not read as a next number; words
  // that do not start with a number are dropped whole.
  ASSERT_TRUE(writeInput(&bridge, "7abc -1\nstop\n4294967296 + - .0\n"));
  writeAtomically(tree.teleop + "/throttle.txt", "1800\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1800, 90), 10));
  EXPECT_FALSE(bridge.exited);
  stopAndExpectExit();
  EXPECT_EQ("", bridge.errText);
  expectEndsWithNeutral(166);
}

TEST_F(CommandWriter, ZeroFollowedByOtherCharactersStopsBothBuilds) {
  for (const char* word : {"0.", "0abc", "+0", "-0", "00", "0,"}) {
    for (const std::string build : {"serial", "serial_raw"}) {
      SCOPED_TRACE(build + " / " + word);
      setFiles(2000, 45, build == "serial" ? tree.teleop : tree.raw);
      start(build);
      ASSERT_TRUE(waitBytes(4));
      stopAndExpectExit(word);
      EXPECT_EQ("", bridge.errText);
      expectEndsWithNeutral(build == "serial" ? 166 : 90);
      stopChild(&bridge, SIGKILL, 5);
      stopChild(&drive.child, SIGTERM, 5);
      bridge = Child();
      drive = DriveController();
    }
  }
}

TEST_F(CommandWriter, EndOfInputStopsWithTheNeutralPairLast) {
  setFiles(2000, 45);
  start();
  ASSERT_TRUE(waitForOutput(&bridge, echo(2000, 45), 10));
  closeInput(&bridge);
  ASSERT_TRUE(waitExit(&bridge, 10));
  EXPECT_EQ(0, exitCode(bridge));
  ASSERT_TRUE(waitDrive(&drive, [](const DriveController& d) { return countEvents(d, "close") >= 1; }, 10));
  EXPECT_EQ((std::vector<int>{60, 166, 100, 211, 60, 166}), driveBytes(drive));
  expectEndsWithNeutral(166);
}

TEST_F(CommandWriter, ReadInOtherCaseOrLongerWordSelectsTheWriter) {
  setFiles(1600, 90);
  for (const char* word : {"READ", "reader"}) {
    start("serial", word);
    ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 90), 10)) << word;
    stopAndExpectExit();
    EXPECT_EQ((std::vector<int>{60, 166, 60, 166, 60, 166}), driveBytes(drive)) << word;
    stopChild(&bridge, SIGKILL, 5);
    stopChild(&drive.child, SIGTERM, 5);
    bridge = Child();
    drive = DriveController();
  }
}

TEST_F(CommandWriter, SerialWithoutTheDriveControllerStillEchoesChanges) {
  setFiles(1600, 90);
  ASSERT_TRUE(startBridge(&bridge, "serial", {"write"}, tree.run));
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 90), 10));
  writeAtomically(tree.teleop + "/steering.txt", "100\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 100), 10));
  ASSERT_TRUE(writeInput(&bridge, "0\n"));
  ASSERT_TRUE(waitExit(&bridge, 10));
  EXPECT_EQ(0, exitCode(bridge));
  EXPECT_EQ("open_port: Unable to open /dev/ttyACM0.\n" + echo(1600, 90) + echo(1600, 100), bridge.outText);
}

TEST_F(CommandWriter, RawSendsEveryPassPlainSteeringAndNoEcho) {
  setFiles(2000, 45, tree.raw);
  // Unpaced, so the bytes arrive as fast as the writer writes them.
  start("serial_raw", "write", {"--unpaced"});
  ASSERT_TRUE(waitBytes(12));
  writeAtomically(tree.raw + "/steering.txt", "300\n");
  ASSERT_TRUE(waitDrive(&drive, [](const DriveController& d) {
    std::vector<int> b = driveBytes(d);
    return b.size() >= 2 && b[b.size() - 2] == 100 && b.back() == 44;
  }, 10));
  stopAndExpectExit();
  EXPECT_EQ("port is open.\n", bridge.outText);
  std::vector<int> bytes = driveBytes(drive);
  ASSERT_EQ(0u, bytes.size() % 2);
  ASSERT_GE(bytes.size(), 12u);
  EXPECT_EQ(60, bytes[0]);
  EXPECT_EQ(90, bytes[1]);
  EXPECT_EQ(100, bytes[2]);
  EXPECT_EQ(45, bytes[3]);
  // Pairs repeat on every pass; the steering only ever changes 45 -> 44.
  int repeats = 0;
  for (size_t i = 2; i + 2 < bytes.size(); i += 2) {
    ASSERT_EQ(100, bytes[i]) << "pair " << i / 2;
    ASSERT_TRUE(bytes[i + 1] == 45 || bytes[i + 1] == 44) << "pair " << i / 2;
    if (bytes[i + 1] == 45) ++repeats;
  }
  EXPECT_GE(repeats, 5);
  // Every pass sends, but no faster than 9600 baud carries: 2.08 ms a pair.
  std::vector<double> times;
  for (const LineEvent& e : drive.events) {
    if (e.byte >= 0) times.push_back(e.time);
  }
  const double span = times.back() - times[2];
  const size_t pairs = (times.size() - 2) / 2;
  printf("%zu pairs in %.0f ms\n", pairs, span * 1000);
  EXPECT_LE(static_cast<double>(pairs), span / (20.0 / 9600) + 2);
  expectEndsWithNeutral(90);
}

TEST_F(CommandWriter, RawPausesAfterTheStartingNeutralPair) {
  setFiles(2000, 45, tree.raw);
  // Times are those of the stand-in's reads, not of the writes: a late read
  // of the neutral pair hides part of the pause, or all of it when the
  // stand-in reads both pairs together. Without the pause the next pair
  // follows within microseconds in every run, so the largest gap of a few
  // runs tells the two apart without depending on one run's scheduling.
  double largestGap = 0;
  for (int run = 0; run < 5; ++run) {
    start("serial_raw");
    ASSERT_TRUE(waitBytes(4));
    stopAndExpectExit();
    std::vector<double> times;
    for (const LineEvent& e : drive.events) {
      if (e.byte >= 0) times.push_back(e.time);
    }
    ASSERT_GE(times.size(), 4u);
    printf("gap after the starting neutral pair: %.2f ms\n", (times[2] - times[1]) * 1000);
    largestGap = std::max(largestGap, times[2] - times[1]);
    stopChild(&bridge, SIGKILL, 5);
    stopChild(&drive.child, SIGTERM, 5);
    bridge = Child();
    drive = DriveController();
  }
  EXPECT_GE(largestGap, 0.008);
}

TEST_F(CommandWriter, RawReadsItsOwnFolder) {
  setFiles(1600, 90);               // the serial build's folder only
  setFiles(1700, 80, tree.raw);     // serial_raw's
  start("serial_raw");
  ASSERT_TRUE(waitBytes(6));
  stopAndExpectExit();
  std::vector<int> bytes = driveBytes(drive);
  EXPECT_EQ(70, bytes[2]);
  EXPECT_EQ(80, bytes[3]);
}

TEST_F(CommandWriter, AtWireSpeedTheLastChangeAndTheStopArriveWithin20Ms) {
  for (const std::string build : {"serial", "serial_raw"}) {
    SCOPED_TRACE(build);
    const std::string dir = build == "serial" ? tree.teleop : tree.raw;
    const int neutralSteering = build == "serial" ? 166 : 90;
    const int steering = build == "serial" ? 211 : 45;
    setFiles(1500, 45, dir);
    start(build);
    ASSERT_TRUE(waitBytes(4));
    // Bursts of changes faster than the wire: the last must not queue.
    std::vector<double> lastChange;
    for (int burst = 0; burst < 5; ++burst) {
      for (int i = 0; i < 40; ++i) writeAtomically(dir + "/throttle.txt", std::to_string(1010 + 10 * (i % 20)) + "\n");
      // A value the line has not carried yet, timed from just before its
      // write: a bridge quick enough to send it before the test reads the
      // clock must not be missed.
      const int last = 1510 + 10 * burst;
      const double written = nowSeconds();
      writeAtomically(dir + "/throttle.txt", std::to_string(last) + "\n");
      // The first time the pair reaches the controller: serial_raw sends it
      // again on every pass after that.
      double arrived = 0;
      ASSERT_TRUE(waitDrive(&drive, [&](const DriveController& d) {
        const LineEvent* previous = nullptr;
        for (const LineEvent& e : d.events) {
          if (e.byte < 0 || e.time < written) continue;
          if (previous != nullptr && previous->byte == (last - 1000) / 10 && e.byte == steering) {
            arrived = e.time;
            return true;
          }
          previous = &e;
        }
        return false;
      }, 10));
      lastChange.push_back(arrived - written);
    }
    const double stopped = nowSeconds();
    stopAndExpectExit();
    expectEndsWithNeutral(neutralSteering);
    double neutralAt = 0;
    for (const LineEvent& e : drive.events) {
      if (e.byte >= 0) neutralAt = e.time;
    }
    std::sort(lastChange.begin(), lastChange.end());
    printf("%s: last change after a burst %.1f .. %.1f ms, stop to neutral %.1f ms\n", build.c_str(),
           lastChange.front() * 1000, lastChange.back() * 1000, (neutralAt - stopped) * 1000);
    // The median of five, so one scheduling hiccup of a loaded machine
    // does not decide; a queue of stale pairs delays them all.
    EXPECT_LT(lastChange[2], 0.020);
    EXPECT_LT(neutralAt - stopped, 0.020);
    // Encodings kept; serial sends only changes.
    std::vector<int> bytes = driveBytes(drive);
    ASSERT_EQ(0u, bytes.size() % 2);
    for (size_t i = 2; i + 2 < bytes.size(); i += 2) {
      EXPECT_EQ(steering, bytes[i + 1]) << "pair " << i / 2;
      if (build == "serial" && i >= 4) {
        EXPECT_NE(bytes[i - 2], bytes[i]) << "pair " << i / 2 << " repeated";
      }
    }
    stopChild(&bridge, SIGKILL, 5);
    stopChild(&drive.child, SIGTERM, 5);
    bridge = Child();
    drive = DriveController();
  }
}
