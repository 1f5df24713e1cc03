// The shipped bridge builds in writer mode, plain and watching (--watch):
// command files in a temporary tree, the drive controller stand-in at
// /dev/ttyACM0 recording the bytes. The encodings themselves are
// bridge_logic_test's table; here is what crosses the process boundary.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "bridge_fixture.h"

namespace {

const Build& kSerial = kBuilds[0];
const Build& kRaw = kBuilds[1];

// The plain writer's word and the watching writer's.
const char* const kWriterWords[] = {"write", "--watch"};

// The pairs of a byte stream, a pair repeated at once counted once.
std::vector<std::pair<int, int>> distinctPairs(const std::vector<int>& bytes) {
  std::vector<std::pair<int, int>> pairs;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const std::pair<int, int> pair(bytes[i], bytes[i + 1]);
    if (pairs.empty() || pairs.back() != pair) pairs.push_back(pair);
  }
  return pairs;
}

class CommandWriter : public BridgeTest {
 protected:
  void TearDown() override {
    if (watch >= 0) close(watch);
    BridgeTest::TearDown();
  }

  // Waits until the serial build has made n more passes over its files.
  void waitPasses(int n, const std::string& file = "throttle.txt") {
    if (watch < 0) watch = watchFileReads(tree.teleop);
    ASSERT_TRUE(waitForFileReads(watch, file, n, 10));
  }

  void setFile(const std::string& name, const std::string& text) { writeAtomically(tree.teleop + "/" + name, text); }

  // The times of the bytes the controller took.
  std::vector<double> byteTimes() const {
    std::vector<double> times;
    for (const LineEvent& e : drive.events) {
      if (e.byte >= 0) times.push_back(e.time);
    }
    return times;
  }

  int watch = -1;
};

}  // namespace

TEST_F(CommandWriter, SerialRepeatsNeutralOnFirstPassThenSendsOnlyChanges) {
  setFiles(kSerial, 1600, 90);
  startWriter(kSerial);
  ASSERT_TRUE(waitBytes(4));
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 90), 10));
  waitPasses(200);
  updateDrive(&drive, 0);
  pumpOutput(&bridge, 0);
  EXPECT_EQ((std::vector<int>{60, 166, 60, 166}), driveBytes(drive));
  EXPECT_EQ("port is open.\n" + echo(1600, 90), bridge.outText);

  // 1609 still encodes as 60: nothing is sent or echoed.
  setFile("throttle.txt", "1609\n");
  waitPasses(200);
  setFile("throttle.txt", "1610\n");
  ASSERT_TRUE(waitBytes(6));
  ASSERT_TRUE(waitForOutput(&bridge, echo(1610, 90), 10));
  stopAndExpectNeutralLast(kSerial);
  EXPECT_EQ((std::vector<int>{60, 166, 60, 166, 61, 166, 60, 166}), driveBytes(drive));
  EXPECT_EQ("port is open.\n" + echo(1600, 90) + echo(1610, 90), bridge.outText);
}

// The echo shows the throttle as its byte encodes it, and the steering as
// the file gave it.
TEST_F(CommandWriter, SerialEchoesTheEncodedThrottleAndTheSteeringAsWritten) {
  setFiles(kSerial, 995, 90);
  startWriter(kSerial);
  ASSERT_TRUE(waitForOutput(&bridge, echo(1000, 90), 10));
  setFile("steering.txt", "-90\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1000, -90), 10));
  stopAndExpectNeutralLast(kSerial);
  EXPECT_EQ((std::vector<int>{60, 166, 0, 166, 0, 90, 60, 166}), driveBytes(drive));
}

TEST_F(CommandWriter, SerialFirstPairEqualToInitialLastSentIsNotSent) {
  setFiles(kSerial, 990, 1);  // encodes as 255, 255
  startWriter(kSerial);
  ASSERT_TRUE(waitBytes(2));
  waitPasses(200);
  setFile("steering.txt", "2\n");
  ASSERT_TRUE(waitBytes(4));
  ASSERT_TRUE(waitForOutput(&bridge, echo(3550, 2), 10));
  stopAndExpectNeutralLast(kSerial);
  EXPECT_EQ((std::vector<int>{60, 166, 255, 254, 60, 166}), driveBytes(drive));
  EXPECT_EQ("port is open.\n" + echo(3550, 2), bridge.outText);
}

// "READ" is not "read": writer mode.
TEST_F(CommandWriter, StopAfterANeutralPairStillEndsWithTheNeutralPair) {
  setFiles(kSerial, 1600, 90);
  startWriter(kSerial, "READ");
  ASSERT_TRUE(waitBytes(4));
  stopAndExpectNeutralLast(kSerial);
  EXPECT_EQ((std::vector<int>{60, 166, 60, 166, 60, 166}), driveBytes(drive));
}

TEST_F(CommandWriter, NothingButNeutralUntilBothFilesGaveAValue) {
  setFile("throttle.txt", "1700\n");
  startWriter(kSerial);
  ASSERT_TRUE(waitBytes(2));
  waitPasses(200);
  updateDrive(&drive, 0);
  EXPECT_EQ((std::vector<int>{60, 166}), driveBytes(drive));
  // A steering file that exists but holds no integer yet gives no value.
  writeInPlace(tree.teleop + "/steering.txt", "");
  waitPasses(200);
  updateDrive(&drive, 0);
  EXPECT_EQ(2u, driveBytes(drive).size());
  setFile("steering.txt", "45\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1700, 45), 10));
  stopAndExpectNeutralLast(kSerial);
  EXPECT_EQ((std::vector<int>{60, 166, 70, 211, 60, 166}), driveBytes(drive));
  EXPECT_EQ("port is open.\n" + echo(1700, 45), bridge.outText);
}

TEST_F(CommandWriter, MissingOrHalfWrittenFileKeepsThePreviousValue) {
  setFiles(kSerial, 1600, 90);
  startWriter(kSerial);
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 90), 10));
  ASSERT_EQ(0, unlink((tree.teleop + "/throttle.txt").c_str()));
  // The missing file is never read: count the passes by the other one.
  waitPasses(200, "steering.txt");
  setFile("steering.txt", "45\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 45), 10));
  // Truncated, then a lone sign: neither is a number.
  writeInPlace(tree.teleop + "/throttle.txt", "");
  writeInPlace(tree.teleop + "/throttle.txt", "-");
  waitPasses(200);
  setFile("steering.txt", "46\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 46), 10));
  writeInPlace(tree.teleop + "/throttle.txt", "1700");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1700, 46), 10));
  stopAndExpectNeutralLast(kSerial);
  EXPECT_EQ((std::vector<int>{60, 166, 60, 166, 60, 211, 60, 210, 70, 210, 60, 166}), driveBytes(drive));
}

// However far white space or leading zeros run before the number, it is
// read as "%d" reads it.
TEST_F(CommandWriter, LongCommandFilesAreReadToTheirNumber) {
  for (const Build& build : kBuilds) {
    SCOPED_TRACE(build.name);
    const std::string throttleFile = folder(build) + "/throttle.txt";
    setFiles(build, 1600, 45);
    startWriter(build);
    ASSERT_TRUE(waitLastPair(60, steeringOf(build, 45)));
    for (char filler : {' ', '0'}) {
      writeAtomically(throttleFile, std::string(5000, filler) + "1700\n");
      ASSERT_TRUE(waitLastPair(70, steeringOf(build, 45))) << "filler '" << filler << "'";
      writeAtomically(throttleFile, "1600\n");
      ASSERT_TRUE(waitLastPair(60, steeringOf(build, 45)));
    }
    stopAndExpectNeutralLast(build);
    if (build.name == "serial") {
      EXPECT_EQ("port is open.\n" + echo(1600, 45) + echo(1700, 45) + echo(1600, 45) + echo(1700, 45) + echo(1600, 45),
                bridge.outText);
    }
    reset();
  }
}

TEST_F(CommandWriter, EveryByteValueReachesTheDriveControllerUnaltered) {
  setFiles(kSerial, 1000, 90);
  startWriter(kSerial);
  std::vector<int> expected = {60, 166, 0, 166};
  ASSERT_TRUE(waitBytes(expected.size()));
  for (int b = 1; b < 256; ++b) {
    setFile("throttle.txt", std::to_string(1000 + 10 * b));
    expected.insert(expected.end(), {b, 166});
    ASSERT_TRUE(waitBytes(expected.size())) << "throttle byte " << b;
  }
  for (int b = 0; b < 256; ++b) {
    setFile("steering.txt", std::to_string(-b));
    expected.insert(expected.end(), {255, b});
    ASSERT_TRUE(waitBytes(expected.size())) << "steering byte " << b;
  }
  stopAndExpectNeutralLast(kSerial);
  expected.insert(expected.end(), {60, 166});
  EXPECT_EQ(expected, driveBytes(drive));
}

// One spelling of each console outcome (the rule itself is the console
// module's table): the rest of a word dropped, not read as a next number
// (the -0 of 7-0); a word that is no number dropped; a number beyond the
// int range kept running, not wrapped to 0; a 0 with a tail stops; nothing
// is said about any of it.
TEST_F(CommandWriter, ConsoleRunsOnNumbersAndDroppedWordsAndStopsOnAZeroWithATail) {
  setFiles(kSerial, 1600, 90);
  startWriter(kSerial);
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 90), 10));
  ASSERT_TRUE(writeInput(&bridge, "7-0 stop\n4294967296\n"));
  setFile("throttle.txt", "1800\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1800, 90), 10));
  EXPECT_FALSE(bridge.exited);
  stopAndExpectNeutralLast(kSerial, "0abc");
  EXPECT_EQ("", bridge.errText);
}

TEST_F(CommandWriter, EndOfInputStopsWithTheNeutralPairLast) {
  setFiles(kSerial, 2000, 45);
  startWriter(kSerial);
  ASSERT_TRUE(waitForOutput(&bridge, echo(2000, 45), 10));
  closeInput(&bridge);
  expectCleanExit();
  expectNeutralLast(kSerial);
  EXPECT_EQ((std::vector<int>{60, 166, 100, 211, 60, 166}), driveBytes(drive));
}

TEST_F(CommandWriter, SerialWithoutTheDriveControllerStillEchoesChanges) {
  setFiles(kSerial, 1600, 90);
  ASSERT_TRUE(startBridge(&bridge, kSerial.name, {"write"}, tree.run));
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 90), 10));
  setFile("steering.txt", "100\n");
  ASSERT_TRUE(waitForOutput(&bridge, echo(1600, 100), 10));
  ASSERT_TRUE(writeInput(&bridge, "0\n"));
  expectCleanExit();
  EXPECT_EQ("open_port: Unable to open /dev/ttyACM0.\n" + echo(1600, 90) + echo(1600, 100), bridge.outText);
}

TEST_F(CommandWriter, RawSendsEveryPassPlainSteeringAndNoEcho) {
  setFiles(kRaw, 2000, 45);
  // Unpaced, so the bytes arrive as fast as the writer writes them.
  startWriter(kRaw, "write", {"--unpaced"});
  ASSERT_TRUE(waitBytes(12));
  writeAtomically(tree.raw + "/steering.txt", "300\n");
  ASSERT_TRUE(waitLastPair(100, 44));
  stopAndExpectNeutralLast(kRaw);
  EXPECT_EQ("port is open.\n", bridge.outText);
  std::vector<int> bytes = driveBytes(drive);
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
  const std::vector<double> times = byteTimes();
  const double span = times.back() - times[2];
  const size_t pairs = (times.size() - 2) / 2;
  printf("%zu pairs in %.0f ms\n", pairs, span * 1000);
  EXPECT_LE(static_cast<double>(pairs), span / (20.0 / 9600) + 2);
}

TEST_F(CommandWriter, RawPausesAfterTheStartingNeutralPair) {
  setFiles(kRaw, 2000, 45);
  // Times are those of the stand-in's reads, not of the writes: the pause
  // starts once the neutral pair is written, and the stand-in takes its
  // bytes at the line's rate, so up to a pair's wire time of the 10 ms is
  // hidden, and a late read hides more. Without the pause the next pair
  // follows one pair's wire time (2.08 ms) later, so the largest gap of a
  // few runs tells the two apart without depending on one run's scheduling.
  double largestGap = 0;
  for (int run = 0; run < 5; ++run) {
    startWriter(kRaw);
    ASSERT_TRUE(waitBytes(4));
    stopAndExpectNeutralLast(kRaw);
    const std::vector<double> times = byteTimes();
    ASSERT_GE(times.size(), 4u);
    printf("gap after the starting neutral pair: %.2f ms\n", (times[2] - times[1]) * 1000);
    largestGap = std::max(largestGap, times[2] - times[1]);
    reset();
  }
  EXPECT_GE(largestGap, 0.005);
}

TEST_F(CommandWriter, RawReadsItsOwnFolder) {
  setFiles(kSerial, 1600, 90);
  setFiles(kRaw, 1700, 80);
  startWriter(kRaw);
  ASSERT_TRUE(waitBytes(6));
  stopAndExpectNeutralLast(kRaw);
  std::vector<int> bytes = driveBytes(drive);
  EXPECT_EQ(70, bytes[2]);
  EXPECT_EQ(80, bytes[3]);
}

// The plain writer re-reads without pause; the watching one is woken by the
// change, not by its next re-read (at most 90 ms later). Either way, neither
// the last change of a burst nor the stop queues behind stale pairs.
TEST_F(CommandWriter, AtWireSpeedTheLastChangeAndTheStopArriveWithin20Ms) {
  for (const char* word : kWriterWords) {
    for (const Build& build : kBuilds) {
      SCOPED_TRACE(build.name + " " + word);
      const std::string throttleFile = folder(build) + "/throttle.txt";
      const int steering = steeringOf(build, 45);
      setFiles(build, 1500, 45);
      startWriter(build, word);
      ASSERT_TRUE(waitBytes(4));
      // Bursts of changes faster than the wire: the last must not queue.
      std::vector<double> lastChange;
      for (int burst = 0; burst < 5; ++burst) {
        for (int i = 0; i < 40; ++i) writeAtomically(throttleFile, std::to_string(1010 + 10 * (i % 20)) + "\n");
        // A value the line has not carried yet, timed from just before its
        // write: a bridge quick enough to send it before the test reads the
        // clock must not be missed.
        const int last = 1510 + 10 * burst;
        const double written = nowSeconds();
        writeAtomically(throttleFile, std::to_string(last) + "\n");
        // The first time the pair reaches the controller: serial_raw sends
        // it again on every pass after that.
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
      stopAndExpectNeutralLast(build);
      const double neutralAt = byteTimes().back();
      std::sort(lastChange.begin(), lastChange.end());
      printf("%s %s: last change after a burst %.1f .. %.1f ms, stop to neutral %.1f ms\n", build.name.c_str(), word,
             lastChange.front() * 1000, lastChange.back() * 1000, (neutralAt - stopped) * 1000);
      // The median of five, so one scheduling hiccup of a loaded machine
      // does not decide; a queue of stale pairs, or a writer that only
      // re-reads, delays them all.
      EXPECT_LT(lastChange[2], 0.020);
      EXPECT_LT(neutralAt - stopped, 0.020);
      // Encodings kept; serial sends only changes.
      std::vector<int> bytes = driveBytes(drive);
      for (size_t i = 2; i + 2 < bytes.size(); i += 2) {
        EXPECT_EQ(steering, bytes[i + 1]) << "pair " << i / 2;
        if (&build == &kSerial && i >= 4) {
          EXPECT_NE(bytes[i - 2], bytes[i]) << "pair " << i / 2 << " repeated";
        }
      }
      reset();
    }
  }
}

// One script of operator actions for the plain and the watching writer:
// the command folder missing at start and the files appearing later, then
// in-place writes, renames and a file deleted and written again. Each step
// waits for its pair, so both writers see every state: the bytes (for
// serial_raw, which repeats its pair, the pairs) and the echo must match.
TEST_F(CommandWriter, WatchingWriterSendsAndEchoesWhatThePlainOneDoes) {
  for (const Build& build : kBuilds) {
    const std::string dir = folder(build);
    std::vector<std::pair<int, int>> pairs[2];
    std::vector<int> bytes[2];
    std::string out[2];
    for (int w = 0; w < 2; ++w) {
      SCOPED_TRACE(build.name + " " + kWriterWords[w]);
      ASSERT_EQ(0, system(("rm -rf '" + dir + "'").c_str()));
      startWriter(build, kWriterWords[w]);
      ASSERT_TRUE(waitBytes(2));
      ASSERT_EQ(0, mkdir(dir.c_str(), 0777));
      writeInPlace(dir + "/throttle.txt", "1700\n");
      writeAtomically(dir + "/steering.txt", "45\n");
      ASSERT_TRUE(waitLastPair(70, steeringOf(build, 45)));
      writeInPlace(dir + "/throttle.txt", "1800\n");
      ASSERT_TRUE(waitLastPair(80, steeringOf(build, 45)));
      writeAtomically(dir + "/steering.txt", "135\n");
      ASSERT_TRUE(waitLastPair(80, steeringOf(build, 135)));
      ASSERT_EQ(0, unlink((dir + "/steering.txt").c_str()));
      writeAtomically(dir + "/throttle.txt", "1600\n");
      ASSERT_TRUE(waitLastPair(60, steeringOf(build, 135)));
      writeInPlace(dir + "/steering.txt", "90\n");
      ASSERT_TRUE(waitLastPair(60, build.neutralSteering));
      stopAndExpectNeutralLast(build);
      bytes[w] = driveBytes(drive);
      pairs[w] = distinctPairs(bytes[w]);
      out[w] = bridge.outText;
      reset();
    }
    if (build.name == "serial") {
      EXPECT_EQ(bytes[0], bytes[1]);
    }
    EXPECT_EQ(pairs[0], pairs[1]);
    EXPECT_EQ(out[0], out[1]);
  }
}

// With the files unchanged, the plain writer re-reads them without pause;
// the watching one sleeps. (serial_raw's plain writer is paced by the wire
// and takes about 1 % already, too little to compare within the kernel's
// 10 ms accounting; bench_car_idle shows both.)
TEST_F(CommandWriter, AtRestTheWatchingWriterUsesASmallShareOfThePlainOnesProcessor) {
  double share[2];
  for (int w = 0; w < 2; ++w) {
    SCOPED_TRACE(kWriterWords[w]);
    setFiles(kSerial, 1700, 45);
    startWriter(kSerial, kWriterWords[w]);
    ASSERT_TRUE(waitForOutput(&bridge, echo(1700, 45), 10));
    share[w] = (cpuOverOneSecond(&bridge) + cpuOverOneSecond(&bridge)) / 2;
    stopAndExpectNeutralLast(kSerial);
    reset();
  }
  printf("serial at rest: %.1f %% of a core plain, %.2f %% watching\n", share[0] * 100, share[1] * 100);
  EXPECT_LT(share[1], share[0] / 10);
}

// The freshness bound as the car uses it (--stale-ms with --watch): the
// files as the writer finds them at its start are not forwarded; once
// written they are; when nothing is written for the bound the neutral pair
// follows within the bound and one pass, once, said in one line; written
// again, the files' pair is back.
TEST_F(CommandWriter, StaleBoundRestsTheCarWhenTheFilesStopBeingWritten) {
  const int kBoundMs = 300;
  setFiles(kSerial, 1700, 45);
  ASSERT_TRUE(startDriveController(&drive));
  ASSERT_TRUE(startBridge(&bridge, "serial", {"--stale-ms", std::to_string(kBoundMs), "--watch"}, tree.run));
  ASSERT_TRUE(waitForOutput(&bridge, "swrite: holding the neutral command until a command file is written.\n", 10));
  const double started = nowSeconds();
  waitUntil([&] { updateDrive(&drive, 0.05); return nowSeconds() - started > 0.5; }, 5);
  EXPECT_EQ((std::vector<int>{60, 166}), driveBytes(drive)) << "a command the writer did not see written";

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    // Taken before the write: a test preempted after it would see the rest early.
    const double written = nowSeconds();
    setFile("throttle.txt", "1700\n");
    ASSERT_TRUE(waitLastPair(70, 211));
    ASSERT_TRUE(waitLastPair(60, 166));
    const double rested = drive.events.back().time - written;
    printf("neutral pair %.0f ms after the last write (bound %d ms)\n", rested * 1000, kBoundMs);
    EXPECT_GE(rested, kBoundMs / 1000.0);
    EXPECT_LT(rested, (kBoundMs + 90 + 150) / 1000.0);
  }
  stopAndExpectNeutralLast(kSerial);
  EXPECT_EQ(2, countOf(bridge.outText, "swrite: no command written for 300 ms: neutral command.\n")) << bridge.outText;
  EXPECT_EQ((std::vector<int>{60, 166, 70, 211, 60, 166, 70, 211, 60, 166, 60, 166}), driveBytes(drive));
}
