// The whole car as it runs: roslaunch with car.launch on the stand-ins, no
// terminal (standard input closed), a master roslaunch starts on a free
// port, and an operator typing at drive_command. Commands reach the drive
// controller; each fault between the console and the wire brings the car
// to rest within 1.5 s and the command comes back once it is over; SIGINT
// to roslaunch leaves the neutral pair last, line 397 released and none of
// the car's programs running.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "bridge_harness.h"
#include "car_launch.h"
#include "gpio_board.h"
#include "process.h"
#include "ros_graph.h"
#include "ros_master.h"

namespace {

// The car's nodes; the bridge and the pin holder are programs, not nodes.
const char* const kNodes[] = {"/tachometer", "/camera_launcher", "/teleop_files"};

// t1700 and s60 on the wire.
const int kThrottle = 70, kSteering = 196;
const int kNeutralThrottleByte = 60, kNeutralSteeringByte = 166;

class CarLaunch : public testing::Test {
 protected:
  void TearDown() override { stopLaunchedCar(&car); }
  // Drains every output; remembers each program roslaunch runs.
  void pump() {
    pumpCar(&car);
    if (!car.roslaunch.exited)
      for (pid_t pid : launchedPrograms(car.roslaunch.pid)) seen.insert(pid);
  }
  double arrival(int throttle, int steering, double after, double seconds = 10) {
    return pairArrival(&car.drive, throttle, steering, after, seconds, [this] { pump(); });
  }
  // Brings a fault about, and expects the neutral pair within 1.5 s, then,
  // once end() has undone it, the operator's command again.
  template <typename Fault, typename End>
  void expectRestThenCommand(Fault fault, End end) {
    const double at = nowSeconds();
    fault();
    const double rest = arrival(kNeutralThrottleByte, kNeutralSteeringByte, at);
    ASSERT_GT(rest, 0) << "the car was not brought to rest";
    printf("fault to the neutral pair: %.0f ms\n", (rest - at) * 1000);
    EXPECT_LT(rest - at, 1.5);
    end();
    EXPECT_GT(arrival(kThrottle, kSteering, rest), 0) << "the command did not come back";
  }

  LaunchedCar car;
  std::set<pid_t> seen;
};

TEST_F(CarLaunch, DrivesRestsAtEachFaultAndStopsAtNeutralWithTheLineReleased) {
  std::string error;
  ASSERT_TRUE(launchCarOnStandIns(&car, &error)) << error;
  Child& roslaunch = car.roslaunch;
  const double neutral = arrival(kNeutralThrottleByte, kNeutralSteeringByte, car.launchedAt, 30);
  ASSERT_GT(neutral, 0) << roslaunch.outText;
  ASSERT_TRUE(waitUntil([&] {
    pump();
    for (const char* node : kNodes)
      if (!lookupNode(node)) return false;
    return true;
  }, 30)) << roslaunch.outText;
  printf("car up: the writer's first neutral pair after %.2f s, every node registered after %.2f s\n",
         neutral - car.launchedAt, nowSeconds() - car.launchedAt);

  ASSERT_TRUE(startConsole(&car, &error)) << error;
  ASSERT_TRUE(waitUntil([&] { pump(); return lookupNode("/serial_writer"); }, 30));
  const double typed = nowSeconds();
  ASSERT_TRUE(writeInput(&car.console, "t1700\ns60\n"));
  const double driving = arrival(kThrottle, kSteering, typed);
  ASSERT_GT(driving, 0) << roslaunch.outText;
  // A command that stays the same is still written often enough for the
  // writer's freshness bound: the car keeps driving.
  waitUntil([&] { pump(); return nowSeconds() - driving > 1.2; }, 5);
  EXPECT_LT(firstPairAfter(car.drive, kNeutralThrottleByte, kNeutralSteeringByte, driving), 0) << "rested while driving";

  {
    SCOPED_TRACE("the writer killed");
    const pid_t writer = launchedProgram(roslaunch.pid, "serial_write");
    ASSERT_GT(writer, 0);
    expectRestThenCommand([&] { kill(writer, SIGKILL); }, [] {});
  }
  {
    SCOPED_TRACE("teleop_files stopped");
    const pid_t teleop = launchedProgram(roslaunch.pid, "teleop_files");
    ASSERT_GT(teleop, 0);
    expectRestThenCommand([&] { kill(teleop, SIGSTOP); }, [&] { kill(teleop, SIGCONT); });
  }

  ASSERT_EQ(0, kill(roslaunch.pid, SIGINT));
  ASSERT_TRUE(waitUntil([&] { pump(); return waitExit(&roslaunch, 0); }, 30));
  EXPECT_EQ(0, exitCode(roslaunch)) << roslaunch.outText;
  updateDrive(&car.drive, 0.1);
  ASSERT_FALSE(car.drive.events.empty());
  EXPECT_EQ("close", car.drive.events.back().event);
  const std::vector<int> last = bytesSinceLastOpen(car.drive);
  ASSERT_GE(last.size(), 2u);
  EXPECT_EQ(0u, last.size() % 2);
  EXPECT_EQ(kNeutralThrottleByte, last[last.size() - 2]);
  EXPECT_EQ(kNeutralSteeringByte, last.back());
  EXPECT_NE(std::string::npos, gpioBoard("state 397").find(" exported=0")) << gpioBoard("state 397");
  EXPECT_GE(seen.size(), 9u);  // six programs, the master, rosout, and a writer started again
  for (pid_t pid : seen) EXPECT_FALSE(processRuns(pid)) << pid << " still runs";
  // The tachometer works in the car's folder, which started empty.
  struct stat log;
  EXPECT_EQ(0, stat((car.root + "/car/files/tachs_counts_5_speed_2000.txt").c_str(), &log));

  ASSERT_TRUE(writeInput(&car.console, "0\n"));
  ASSERT_TRUE(waitExit(&car.console, 10));
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const int port = freeLoopbackPort();
  if (port < 0) return 1;
  // roslaunch finds no master there and starts its own.
  setenv("ROS_MASTER_URI", loopbackMasterUri(port).c_str(), 1);
  setenv("ROS_HOSTNAME", "127.0.0.1", 1);
  ros::init(argc, argv, "car_test", ros::init_options::NoSigintHandler | ros::init_options::AnonymousName);
  return RUN_ALL_TESTS();
}
