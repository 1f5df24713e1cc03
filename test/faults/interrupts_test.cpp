// Interrupts and terminations at each stage of the ROS programs
// (drive_command, camera_launcher, tachometer), as one table: while the
// master cannot be reached, right after start, while working and while
// shutting down. Each must end with the status its stage calls for, never
// by a crash, and must not spin while it waits. The tachometer measuring
// is stopped in test/tachometer/faults_test.cpp, on the GPIO stand-in.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <signal.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "process.h"
#include "process_watch.h"
#include "ros_graph.h"
#include "ros_master.h"
#include "tachometer_run.h"

namespace {

// A working directory with files/ for the tachometer, removed at exit.
std::string scratchDir() {
  static std::string dir;
  if (dir.empty()) {
    dir = makeTachometerDir("/tmp");
    atexit([] { removeTree(dir); });
  }
  return dir;
}

enum Stage {
  kBeforeMaster,     // retrying a master that is not there
  kRightAfterStart,  // roscpp's interrupt handler just installed, start-up under way
  kWorking,          // registered; drive_command publishing, camera_launcher with its driver
};

const char* const kStageNames[] = {"before the master", "right after start", "working"};

// How the program must end.
enum End {
  kZero,                  // status 0
  kZeroOnceConsoleStops,  // drive_command outlives a ROS shutdown until its console says stop
  kBySignal,              // the signal's default action, without a core
};

// kConsole in a case's stimuli: the console says stop there.
const int kConsole = 0;

struct Case {
  const char* program;
  Stage stage;
  std::vector<int> stimuli;  // signals (and kConsole), sent in order
  End end;
};

// Nothing has been done before the master answers that a termination
// could lose: its default action ends drive_command and camera_launcher at
// once. The tachometer, which keeps logs, stops as on the interrupt. Once
// roscpp has installed its handler, an interrupt is a ROS shutdown; a
// second one during it changes nothing. While working, neither
// drive_command nor camera_launcher handles a termination.
const Case kCases[] = {
    {"drive_command", kBeforeMaster, {SIGINT}, kZeroOnceConsoleStops},
    {"camera_launcher", kBeforeMaster, {SIGINT}, kZero},
    {"tachometer", kBeforeMaster, {SIGINT}, kZero},
    {"drive_command", kBeforeMaster, {kConsole, SIGINT}, kZero},
    {"drive_command", kBeforeMaster, {SIGTERM}, kBySignal},
    {"camera_launcher", kBeforeMaster, {SIGTERM}, kBySignal},
    {"tachometer", kBeforeMaster, {SIGTERM}, kZero},
    {"drive_command", kRightAfterStart, {SIGINT}, kZeroOnceConsoleStops},
    {"camera_launcher", kRightAfterStart, {SIGINT}, kZero},
    {"tachometer", kRightAfterStart, {SIGINT}, kZero},
    {"drive_command", kWorking, {SIGINT, SIGINT}, kZeroOnceConsoleStops},
    {"camera_launcher", kWorking, {SIGINT, SIGINT}, kZero},
    {"drive_command", kWorking, {SIGTERM}, kBySignal},
    {"camera_launcher", kWorking, {SIGTERM}, kBySignal},
};

std::string nodeName(const Case& c) { return std::string("/faults_") + c.program; }

// The camera stand-in's package first on the package path.
std::string withCameraStandin() {
  const char* path = getenv("ROS_PACKAGE_PATH");
  return std::string("ROS_PACKAGE_PATH=") + PELMORA_SOURCE_DIR "/test/standins/camera" +
         (path && *path ? std::string(":") + path : std::string());
}

// The stop a console gives after a command line: a newline, then 0; right
// after the start, the end of its input.
void consoleStop(Child* child, Stage stage) {
  if (stage == kRightAfterStart) {
    closeInput(child);
  } else {
    writeInput(child, "\n0\n");
  }
}

// Starts the program and brings it to the stage. A program waiting for the
// master, or working, must not spin.
void reachStage(const Case& c, Child* child) {
  std::vector<std::string> env;
  if (c.stage == kBeforeMaster) env.push_back("ROS_MASTER_URI=" + loopbackMasterUri(freeLoopbackPort()));
  const bool withDriver = c.stage == kWorking && c.end != kBySignal && std::string(c.program) == "camera_launcher";
  if (withDriver) env.push_back(withCameraStandin());
  std::string error;
  ASSERT_TRUE(startChild(child, {programPath(c.program), "__name:=" + nodeName(c).substr(1)}, scratchDir(), env,
                         &error))
      << error;
  switch (c.stage) {
    case kBeforeMaster:
      ASSERT_TRUE(waitForOutput(child, "Failed to contact master", 20, true))
          << "never tried the master: " << child->errText;
      break;
    case kRightAfterStart:
      ASSERT_TRUE(waitUntil([&] { pumpOutput(child, 0); return catchesSignals(child->pid, {SIGINT}); }, 20))
          << endOf(*child);
      return;
    case kWorking:
      if (withDriver) {
        ASSERT_TRUE(waitForOutput(child, "camera stand-in: loaded " + nodeName(c), 30)) << child->errText;
      }
      ASSERT_TRUE(waitUntil([&] { pumpOutput(child, 0); return lookupNode(nodeName(c)); }, 30)) << child->errText;
      break;
  }
  EXPECT_LT(cpuOverOneSecond(child), kSpinShare);
}

void runCase(const Case& c) {
  Child child;
  ASSERT_NO_FATAL_FAILURE(reachStage(c, &child));
  for (int stimulus : c.stimuli) {
    if (stimulus == kConsole) {
      consoleStop(&child, c.stage);
    } else {
      ASSERT_EQ(0, kill(child.pid, stimulus));
    }
  }
  if (c.stage == kWorking && c.end != kBySignal) {
    EXPECT_TRUE(waitUntil([&] { pumpOutput(&child, 0); return !lookupNode(nodeName(c)); }, 15));
  }
  if (c.end == kZeroOnceConsoleStops) {
    // After the shutdown only the console thread is left, blocked in read;
    // another interrupt changes nothing.
    EXPECT_FALSE(waitExit(&child, 0.5)) << "ended before its console did";
    EXPECT_LT(cpuOverOneSecond(&child), kSpinShare);
    ASSERT_EQ(0, kill(child.pid, SIGINT));
    consoleStop(&child, c.stage);
  }
  EXPECT_TRUE(waitExit(&child, 20)) << endOf(child);
  if (c.end == kBySignal) {
    EXPECT_TRUE(killedBy(child, c.stimuli.back())) << endOf(child);
  } else {
    EXPECT_EQ(0, exitCode(child)) << endOf(child) << "\n" << child.errText.substr(0, 2000);
  }
  if (child.outText.find("camera stand-in: loaded") != std::string::npos) {
    EXPECT_NE(std::string::npos, child.outText.find("camera stand-in: unloaded " + nodeName(c)));
  }
  stopChild(&child, SIGKILL, 1);
}

// An interrupt lands anywhere in the start-up: three rounds of that stage.
TEST(Interrupts, EachStageAndStopSignalEndsTheProgramAsItShould) {
  for (const Case& c : kCases) {
    for (int round = 0; round < (c.stage == kRightAfterStart ? 3 : 1); ++round) {
      SCOPED_TRACE(std::string(c.program) + " " + kStageNames[c.stage] + ", stimuli ending in " +
                   std::to_string(c.stimuli.back()) + ", round " + std::to_string(round));
      ASSERT_NO_FATAL_FAILURE(runCase(c));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  defaultStopSignals();
  ros::init(argc, argv, "faults_interrupts_test");
  ros::NodeHandle nh;
  int result = RUN_ALL_TESTS();
  killAllChildren();
  return result;
}
