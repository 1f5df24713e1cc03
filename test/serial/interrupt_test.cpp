// Stop signals on the shipped bridge builds: SIGINT, SIGTERM and SIGHUP at
// each stage of a run (before the line opens, in the loop, during a burst,
// while stopping), in writer and reader mode. Each must act as a typed 0:
// exit status 0, and in writer mode the neutral pair is the last thing on
// the drive line before it closes.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bridge_fixture.h"

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::string trace(const Build& build, int sig) { return build.name + " / " + strsignal(sig); }

class BridgeInterrupt : public BridgeTest {
 protected:
  void waitHandlers() {
    ASSERT_TRUE(waitUntil([&] { return catchesSignals(bridge.pid, {SIGINT, SIGTERM, SIGHUP}); }, 10))
        << "the bridge never installed its stop handlers";
  }
};

}  // namespace

TEST_F(BridgeInterrupt, WriterStopsWithTheNeutralPairLastOnEachSignalInTheLoop) {
  for (const Build& build : kBuilds) {
    for (int sig : kStopSignals) {
      SCOPED_TRACE(trace(build, sig));
      setFiles(build, 2000, 45);
      ASSERT_TRUE(startDriveController(&drive));
      ASSERT_TRUE(startBridge(&bridge, build.name, {"write"}, tree.run));
      ASSERT_TRUE(waitBytes(4));
      kill(bridge.pid, sig);
      expectCleanExit();
      expectNeutralLast(build);
      std::vector<int> bytes = driveBytes(drive);
      EXPECT_EQ(100, bytes[2]);
      EXPECT_EQ("", bridge.errText);
      reset();
    }
  }
}

TEST_F(BridgeInterrupt, WriterWaitingForAMissingDriveLineStopsOnEachSignal) {
  for (const Build& build : kBuilds) {
    for (int sig : kStopSignals) {
      SCOPED_TRACE(trace(build, sig));
      setFiles(build, 2000, 45);
      ASSERT_TRUE(startBridge(&bridge, build.name, {"write"}, tree.run));
      ASSERT_TRUE(waitForOutput(&bridge, "open_port: Unable to open /dev/ttyACM0.\n", 10));
      waitHandlers();
      kill(bridge.pid, sig);
      expectCleanExit();
      reset();
    }
  }
}

TEST_F(BridgeInterrupt, WriterSignalledAsSoonAsItCatchesSignalsLeavesNoPairButNeutral) {
  // The worker may or may not have opened the line yet: either nothing
  // reached it, or the neutral pair is the last thing on it.
  for (const Build& build : kBuilds) {
    for (int sig : kStopSignals) {
      SCOPED_TRACE(trace(build, sig));
      setFiles(build, 2000, 45);
      ASSERT_TRUE(startDriveController(&drive));
      ASSERT_TRUE(startBridge(&bridge, build.name, {"write"}, tree.run));
      waitHandlers();
      kill(bridge.pid, sig);
      expectCleanExit();
      updateDrive(&drive, 0.1);
      if (countEvents(drive, "open") > 0) {
        expectNeutralLast(build);
      } else {
        EXPECT_TRUE(driveBytes(drive).empty());
      }
      reset();
    }
  }
}

TEST_F(BridgeInterrupt, WriterSignalledDuringABurstOfChangesEndsWithWholePairsAndNeutral) {
  for (const Build& build : kBuilds) {
    for (int sig : kStopSignals) {
      SCOPED_TRACE(trace(build, sig));
      setFiles(build, 1700, 45);
      ASSERT_TRUE(startDriveController(&drive));
      ASSERT_TRUE(startBridge(&bridge, build.name, {"write"}, tree.run));
      ASSERT_TRUE(waitBytes(4));
      std::atomic<bool> changing(true);
      const std::string throttleFile = folder(build) + "/throttle.txt";
      std::thread operatorProgram([&] {
        for (int i = 0; changing; ++i) writeAtomically(throttleFile, i % 2 ? "1700\n" : "1800\n");
      });
      bool burstSeen = waitBytes(40);
      kill(bridge.pid, sig);
      expectCleanExit();
      changing = false;
      operatorProgram.join();
      ASSERT_TRUE(burstSeen);
      expectNeutralLast(build);
      // Between the neutral pairs, only the pairs the operator wrote.
      std::vector<int> bytes = driveBytes(drive);
      const int steering = build.name == "serial" ? 211 : 45;
      for (size_t i = 2; i + 2 < bytes.size(); i += 2) {
        EXPECT_TRUE(bytes[i] == 70 || bytes[i] == 80) << "pair " << i / 2 << ": " << bytes[i];
        EXPECT_EQ(steering, bytes[i + 1]) << "pair " << i / 2;
      }
      reset();
    }
  }
}

TEST_F(BridgeInterrupt, WriterSignalledWhileStoppingStillSendsTheNeutralPairLast) {
  for (const Build& build : kBuilds) {
    for (int sig : kStopSignals) {
      // A typed 0 followed at once by a signal, then two signals in a row.
      for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(trace(build, sig) + (variant == 0 ? " after 0" : " twice"));
        setFiles(build, 2000, 45);
        ASSERT_TRUE(startDriveController(&drive));
        ASSERT_TRUE(startBridge(&bridge, build.name, {"write"}, tree.run));
        ASSERT_TRUE(waitBytes(4));
        if (variant == 0) {
          ASSERT_TRUE(writeInput(&bridge, "0\n"));
        } else {
          kill(bridge.pid, sig);
        }
        kill(bridge.pid, sig == SIGINT ? SIGTERM : SIGINT);
        expectCleanExit();
        expectNeutralLast(build);
        reset();
      }
    }
  }
}

TEST_F(BridgeInterrupt, NumberTypedTogetherWithASignalDoesNotUndoTheStop) {
  for (const Build& build : kBuilds) {
    for (int sig : kStopSignals) {
      SCOPED_TRACE(trace(build, sig));
      setFiles(build, 2000, 45);
      ASSERT_TRUE(startDriveController(&drive));
      ASSERT_TRUE(startBridge(&bridge, build.name, {"write"}, tree.run));
      ASSERT_TRUE(waitBytes(4));
      kill(bridge.pid, sig);
      ASSERT_TRUE(writeInput(&bridge, "7\n"));
      expectCleanExit();
      expectNeutralLast(build);
      reset();
    }
  }
}

TEST_F(BridgeInterrupt, ClosedStandardOutputDoesNotKillTheWriter) {
  const Build& build = kBuilds[0];
  setFiles(build, 2000, 45);
  ASSERT_TRUE(startDriveController(&drive));
  ASSERT_TRUE(startBridge(&bridge, build.name, {"write"}, tree.run));
  ASSERT_TRUE(waitBytes(4));
  // Like "serial write | head -n 1": nobody reads the echo any more.
  close(bridge.out);
  bridge.out = -1;
  for (int throttle = 1010; throttle <= 1100; throttle += 10) {
    writeAtomically(tree.teleop + "/throttle.txt", std::to_string(throttle) + "\n");
    ASSERT_TRUE(waitDrive(&drive, [throttle](const DriveController& d) {
      std::vector<int> b = driveBytes(d);
      return b.size() >= 2 && b[b.size() - 2] == (throttle - 1000) / 10;
    }, 10)) << "throttle " << throttle;
  }
  ASSERT_TRUE(writeInput(&bridge, "0\n"));
  expectCleanExit();
  expectNeutralLast(build);
}

TEST_F(BridgeInterrupt, ReaderStopsOnEachSignalAtEachStage) {
  std::string burst = "send";
  for (int b = 1; b < 256; ++b) burst += " " + std::to_string(b);
  for (const Build& build : kBuilds) {
    for (int sig : kStopSignals) {
      for (const std::string stage : {"no line", "idle", "burst", "stopping"}) {
        SCOPED_TRACE(trace(build, sig) + " / " + stage);
        if (stage != "no line") {
          ASSERT_TRUE(startTachoController(&tacho));
        }
        ASSERT_TRUE(startBridge(&bridge, build.name, {"read"}, tree.run));
        if (stage == "no line") {
          ASSERT_TRUE(waitForOutput(&bridge, "open_port: Unable to open /dev/ttyACM1.\n", 10));
        } else {
          ASSERT_TRUE(waitForOutput(&tacho, "configured\n", 10));
        }
        waitHandlers();
        if (stage == "burst") {
          ASSERT_TRUE(writeInput(&tacho, burst + "\n"));
          ASSERT_TRUE(waitForOutput(&bridge, "Tachometer: 1\n", 10));
        }
        if (stage == "stopping") {
          ASSERT_TRUE(writeInput(&bridge, "0\n"));
        }
        kill(bridge.pid, sig);
        expectCleanExit();
        // Whatever was printed is whole lines of the bytes in order.
        std::string expected = stage == "no line" ? "open_port: Unable to open /dev/ttyACM1.\n" : "port is open.\n";
        for (int b = 1; b < 256 && expected.size() < bridge.outText.size(); ++b) {
          expected += "Tachometer: " + std::to_string(b) + "\n";
        }
        EXPECT_EQ(expected, bridge.outText);
        reset();
      }
    }
  }
}
