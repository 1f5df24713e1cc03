// Interrupts at each stage of the ROS programs (drive_command,
// camera_launcher, tachometer): while the master cannot be reached, right
// after start, while working and while shutting down. Each must end with
// the status its stage calls for, never by a crash, and must not spin
// while it waits.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <ros/ros.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "process.h"
#include "process_watch.h"

namespace {

const std::string kBin = PELMORA_BIN_DIR;

// A loopback port with nothing listening on it, for a master that is not there.
std::string unreachableMaster() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  int port = 1;
  if (bind(s, reinterpret_cast<sockaddr*>(&at), size) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&at), &size) == 0)
    port = ntohs(at.sin_port);
  close(s);
  return "ROS_MASTER_URI=http://127.0.0.1:" + std::to_string(port);
}

// A working directory with files/ for the tachometer, removed at exit.
std::string scratchDir() {
  static std::string dir;
  if (dir.empty()) {
    char pattern[] = "/tmp/faults_interrupts.XXXXXX";
    if (mkdtemp(pattern)) dir = pattern;
    (void)!system(("mkdir -p " + dir + "/files").c_str());
    atexit([] { (void)!system(("rm -rf " + dir).c_str()); });
  }
  return dir;
}

struct Program {
  std::string name;
  std::vector<std::string> argv;
  // drive_command outlives a ROS shutdown until its console says stop.
  bool consoleEndsIt;
};

std::vector<Program> programs() {
  return {
      {"drive_command", {kBin + "/drive_command", "__name:=faults_drive"}, true},
      {"camera_launcher", {kBin + "/camera_launcher", "__name:=faults_camera"}, false},
      {"tachometer", {kBin + "/tachometer", "__name:=faults_tachometer"}, false},
  };
}

bool start(Child* child, const Program& p, const std::vector<std::string>& env = {}) {
  std::string error;
  if (startChild(child, p.argv, scratchDir(), env, &error)) return true;
  ADD_FAILURE() << error;
  return false;
}

// The stop a console gives after a command line: a newline, then 0.
void consoleStop(Child* child) { writeInput(child, "\n0\n"); }

// Starts p with a master that is not there, and waits for its first retry.
bool startWithoutMaster(Child* child, const Program& p, const std::string& master) {
  if (!start(child, p, {master})) return false;
  if (waitForOutput(child, "Failed to contact master", 20, true)) return true;
  ADD_FAILURE() << p.name << " never tried the master: " << child->errText;
  return false;
}

// Waiting for a master that is not there costs no processor time, and the
// interrupt ends the wait with status 0 (drive_command after its console
// has said stop, as after any ROS shutdown).
TEST(BeforeMaster, InterruptEndsTheWaitAndTheProgram) {
  const std::string master = unreachableMaster();
  for (const Program& p : programs()) {
    SCOPED_TRACE(p.name);
    Child child;
    ASSERT_TRUE(startWithoutMaster(&child, p, master));
    EXPECT_LT(cpuOverOneSecond(&child), kSpinShare);
    ASSERT_EQ(0, kill(child.pid, SIGINT));
    if (p.consoleEndsIt) {
      EXPECT_FALSE(waitExit(&child, 1.0)) << "ended before its console did";
      consoleStop(&child);
    }
    EXPECT_TRUE(waitExit(&child, 15)) << endOf(child);
    EXPECT_EQ(0, exitCode(child)) << endOf(child) << "\n" << child.errText.substr(0, 2000);
    stopChild(&child, SIGKILL, 1);
  }
}

// The console may also say stop first, while the master is still awaited;
// the interrupt then ends the process.
TEST(BeforeMaster, DriveCommandConsoleStopThenInterrupt) {
  Child child;
  ASSERT_TRUE(startWithoutMaster(&child, programs()[0], unreachableMaster()));
  consoleStop(&child);
  ASSERT_EQ(0, kill(child.pid, SIGINT));
  EXPECT_TRUE(waitExit(&child, 15)) << endOf(child);
  EXPECT_EQ(0, exitCode(child)) << endOf(child);
  stopChild(&child, SIGKILL, 1);
}

// Nothing has been done yet that a termination could lose: the default
// action ends drive_command and camera_launcher at once, without a core;
// the tachometer, which keeps logs, stops as on the interrupt.
TEST(BeforeMaster, TerminateEndsEachAtOnce) {
  const std::string master = unreachableMaster();
  for (const Program& p : programs()) {
    SCOPED_TRACE(p.name);
    Child child;
    ASSERT_TRUE(startWithoutMaster(&child, p, master));
    ASSERT_EQ(0, kill(child.pid, SIGTERM));
    EXPECT_TRUE(waitExit(&child, 10));
    if (p.name == "tachometer") {
      EXPECT_EQ(0, exitCode(child)) << endOf(child);
    } else {
      EXPECT_TRUE(killedBy(child, SIGTERM)) << endOf(child);
    }
    stopChild(&child, SIGKILL, 1);
  }
}

// From the moment roscpp has installed its handler, in the middle of its
// start-up, the interrupt is a ROS shutdown: each program ends with 0
// (drive_command once its console has ended), never by the signal.
TEST(RightAfterStart, InterruptOnceHandledEndsEachWithZero) {
  for (const Program& p : programs()) {
    SCOPED_TRACE(p.name);
    for (int round = 0; round < 3; ++round) {
      Child child;
      ASSERT_TRUE(start(&child, p));
      ASSERT_TRUE(waitUntil([&] { pumpOutput(&child, 0); return catchesSignals(child.pid, {SIGINT}); }, 20))
          << endOf(child);
      ASSERT_EQ(0, kill(child.pid, SIGINT));
      if (p.consoleEndsIt) closeInput(&child);
      EXPECT_TRUE(waitExit(&child, 20)) << endOf(child);
      EXPECT_EQ(0, exitCode(child)) << endOf(child) << "\n" << child.errText.substr(0, 2000);
      stopChild(&child, SIGKILL, 1);
    }
  }
}

bool registered(const std::string& node) {
  std::vector<std::string> nodes;
  ros::master::getNodes(nodes);
  for (const std::string& n : nodes)
    if (n == node) return true;
  return false;
}

// The camera stand-in's package first on the package path.
std::string withCameraStandin() {
  const char* path = getenv("ROS_PACKAGE_PATH");
  return std::string("ROS_PACKAGE_PATH=") + PELMORA_SOURCE_DIR "/standins/camera" +
         (path && *path ? std::string(":") + path : std::string());
}

// Working: drive_command publishing and waiting on its console,
// camera_launcher spinning with the driver loaded. Neither spins; a second
// interrupt that lands during the shutdown of the first changes nothing,
// and the driver is still unloaded.
TEST(Working, WaitersDoNotSpinAndADoubleInterruptEndsThemCleanly) {
  for (const Program& p : {programs()[0], programs()[1]}) {
    SCOPED_TRACE(p.name);
    const bool camera = p.name == "camera_launcher";
    Child child;
    ASSERT_TRUE(start(&child, p, {withCameraStandin()}));
    if (camera) {
      ASSERT_TRUE(waitForOutput(&child, "camera stand-in: loaded /faults_camera", 30)) << child.errText;
    }
    const std::string node = "/" + p.argv[1].substr(std::string("__name:=").size());
    ASSERT_TRUE(waitUntil([&] { pumpOutput(&child, 0); return registered(node); }, 30)) << child.errText;
    EXPECT_LT(cpuOverOneSecond(&child), kSpinShare);
    ASSERT_EQ(0, kill(child.pid, SIGINT));
    ASSERT_EQ(0, kill(child.pid, SIGINT));
    EXPECT_TRUE(waitUntil([&] { pumpOutput(&child, 0); return !registered(node); }, 15));
    if (p.consoleEndsIt) {
      // After the shutdown only the console thread is left, blocked in read.
      EXPECT_FALSE(waitExit(&child, 0.5));
      EXPECT_LT(cpuOverOneSecond(&child), kSpinShare);
      ASSERT_EQ(0, kill(child.pid, SIGINT));
      consoleStop(&child);
    }
    EXPECT_TRUE(waitExit(&child, 15)) << endOf(child);
    EXPECT_EQ(0, exitCode(child)) << endOf(child) << "\n" << child.errText.substr(0, 2000);
    if (camera) {
      EXPECT_NE(std::string::npos, child.outText.find("camera stand-in: unloaded /faults_camera"));
    }
    stopChild(&child, SIGKILL, 1);
  }
}

// A termination while working ends the process promptly by the signal's
// default action (neither handles it), without a core.
TEST(Working, TerminateEndsDriveCommandAndCameraLauncher) {
  for (const Program& p : {programs()[0], programs()[1]}) {
    SCOPED_TRACE(p.name);
    Child child;
    ASSERT_TRUE(start(&child, p));
    const std::string node = "/" + p.argv[1].substr(std::string("__name:=").size());
    ASSERT_TRUE(waitUntil([&] { pumpOutput(&child, 0); return registered(node); }, 30)) << child.errText;
    ASSERT_EQ(0, kill(child.pid, SIGTERM));
    EXPECT_TRUE(waitExit(&child, 10));
    EXPECT_TRUE(killedBy(child, SIGTERM)) << endOf(child);
    stopChild(&child, SIGKILL, 1);
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
