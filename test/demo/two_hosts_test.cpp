// The car and the operator's laptop as two hosts: two network namespaces
// joined by a veth pair. The master and drive_command run on the car with
// ROS_IP set as a user would; a subscriber on the laptop, with its own
// ROS_IP and ROS_MASTER_URI pointing at the car, must get the commands, and
// every message crosses the link.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <pelmora/Telemetry.h>

#include "process.h"

namespace {

const std::string kCarIp = "10.213.77.1";
const std::string kLaptopIp = "10.213.77.2";
const std::string kMasterUri = "http://" + kCarIp + ":11311";
std::string g_car, g_laptop;  // namespace names, set once in main
char** g_argv = nullptr;
const int kSkipped = 77;

int run(const std::vector<std::string>& argv, std::string* out = nullptr) {
  Child c;
  std::string error;
  if (!startChild(&c, argv, "", {}, &error)) {
    ADD_FAILURE() << error;
    return -1;
  }
  if (!waitExit(&c, 20)) {
    stopChild(&c, SIGKILL, 1);
    return -1;
  }
  if (out) *out = c.outText;
  return exitCode(c);
}

long rxPackets(const std::string& ns, const std::string& dev) {
  std::string out;
  if (run({"/usr/bin/ip", "netns", "exec", ns, "/bin/cat", "/sys/class/net/" + dev + "/statistics/rx_packets"},
          &out) != 0)
    return -1;
  return atol(out.c_str());
}

class TwoHosts : public testing::Test {
 protected:
  void SetUp() override {
    if (getuid() != 0) {
      // CI runs as root: there a skip would hide that the link went untested.
      const char* ci = getenv("CI");
      if (ci && std::string(ci) == "true") FAIL() << "CI must run this as root: network namespaces need it";
      GTEST_SKIP() << "not run: network namespaces need root";
    }
    ASSERT_EQ(0, run({"/usr/bin/ip", "netns", "add", g_car}));
    ASSERT_EQ(0, run({"/usr/bin/ip", "netns", "add", g_laptop}));
    ASSERT_EQ(0, run({"/usr/bin/ip", "-n", g_car, "link", "add", "car0", "type", "veth", "peer", "name",
                      "laptop0", "netns", g_laptop}));
    ASSERT_EQ(0, run({"/usr/bin/ip", "-n", g_car, "addr", "add", kCarIp + "/24", "dev", "car0"}));
    ASSERT_EQ(0, run({"/usr/bin/ip", "-n", g_laptop, "addr", "add", kLaptopIp + "/24", "dev", "laptop0"}));
    for (const std::string& ns : {g_car, g_laptop}) {
      ASSERT_EQ(0, run({"/usr/bin/ip", "-n", ns, "link", "set", "lo", "up"}));
      ASSERT_EQ(0, run({"/usr/bin/ip", "-n", ns, "link", "set", ns == g_car ? "car0" : "laptop0", "up"}));
    }
  }
  void TearDown() override {
    stopChild(&subscriber, SIGINT, 5);
    stopChild(&node, SIGKILL, 5);
    stopChild(&master, SIGINT, 5);
    run({"/usr/bin/ip", "netns", "del", g_car});
    run({"/usr/bin/ip", "netns", "del", g_laptop});
  }
  Child master, node, subscriber;
};

TEST_F(TwoHosts, LaptopSubscriberGetsTheCarsCommandsOverTheLink) {
  const std::vector<std::string> carEnv = {"ROS_IP=" + kCarIp, "ROS_MASTER_URI=" + kMasterUri,
                                           "PATH=/usr/bin:/bin"};
  std::string error;
  ASSERT_TRUE(startChild(&master, {"/usr/bin/ip", "netns", "exec", g_car, "/usr/bin/rosmaster", "--core", "-p",
                                   "11311"},
                         "", carEnv, &error))
      << error;
  ASSERT_TRUE(startChild(&node, {"/usr/bin/ip", "netns", "exec", g_car, programPath("drive_command")}, "",
                         carEnv, &error))
      << error;
  const long before = rxPackets(g_laptop, "laptop0");
  ASSERT_TRUE(startChild(&subscriber, {"/usr/bin/ip", "netns", "exec", g_laptop, g_argv[0], "--subscribe"}, "",
                         {"ROS_IP=" + kLaptopIp, "ROS_MASTER_URI=" + kMasterUri}, &error))
      << error;
  ASSERT_TRUE(waitForOutput(&subscriber, "1600 90\n", 30)) << subscriber.outText << subscriber.errText
                                                           << master.errText << node.errText;
  ASSERT_TRUE(writeInput(&node, "t1700\ns45\n"));
  EXPECT_TRUE(waitForOutput(&subscriber, "1700 45\n", 10)) << subscriber.outText << subscriber.errText;
  EXPECT_GT(rxPackets(g_laptop, "laptop0"), before + 10);
}

// The laptop side: print each command as "speed angle".
void printCommand(const pelmora::Telemetry::ConstPtr& m) {
  printf("%d %d\n", m->speed, m->angle);
  fflush(stdout);
}

int subscribeAndPrint(int argc, char** argv) {
  ros::init(argc, argv, "operator_laptop", ros::init_options::AnonymousName);
  ros::NodeHandle nh;
  ros::Subscriber sub = nh.subscribe("/serial", 10, printCommand);
  ros::spin();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[argc - 1]) == "--subscribe") return subscribeAndPrint(argc, argv);
  g_argv = argv;
  g_car = "pelmora_car_" + std::to_string(getpid());
  g_laptop = "pelmora_laptop_" + std::to_string(getpid());
  testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  // ctest reports this code as "Skipped" rather than "Passed".
  if (result == 0 && getuid() != 0) return kSkipped;
  return result;
}
