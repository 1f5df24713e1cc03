// Camera launcher: the shipped program against a real ROS master, with the
// stand-in camera driver on ROS_PACKAGE_PATH and without it. The stand-in
// publishes a counter on ~frame and prints when it is loaded and unloaded.
#include <gtest/gtest.h>
#include <nodelet/NodeletList.h>
#include <nodelet/NodeletUnload.h>
#include <ros/ros.h>
#include <std_msgs/UInt32.h>

#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "process.h"
#include "ros_graph.h"

namespace {

// Starts the launcher with ROS arguments; withStandin puts the stand-in
// package's folder first on ROS_PACKAGE_PATH.
bool startLauncher(Child* launcher, const std::vector<std::string>& rosArgs, bool withStandin) {
  std::vector<std::string> argv = {programPath("camera_launcher")};
  argv.insert(argv.end(), rosArgs.begin(), rosArgs.end());
  std::vector<std::string> env;
  if (withStandin) {
    const char* path = std::getenv("ROS_PACKAGE_PATH");
    env.push_back(std::string("ROS_PACKAGE_PATH=") + PELMORA_SOURCE_DIR "/test/standins/camera" +
                  (path && *path ? std::string(":") + path : std::string()));
  }
  std::string error;
  if (startChild(launcher, argv, "", env, &error)) return true;
  ADD_FAILURE() << error;
  return false;
}

// The interrupt key, sent only to a launcher that is still ours to signal.
void interrupt(Child* launcher) {
  if (launcher->pid > 0 && !launcher->exited) kill(launcher->pid, SIGINT);
}

// Counts the frames arriving on topic; true once at least `frames` came.
bool framesArrive(const std::string& topic, int frames, double seconds) {
  ros::NodeHandle nh;
  std::atomic<int> seen(0);
  ros::Subscriber sub = nh.subscribe<std_msgs::UInt32>(
      topic, 10, [&](const std_msgs::UInt32::ConstPtr&) { ++seen; });
  return waitUntil([&] {
    ros::spinOnce();
    return seen.load() >= frames;
  }, seconds);
}

// Names of the nodelets the loader at node reports, via its list service.
bool listNodelets(const std::string& node, std::vector<std::string>* names) {
  const std::string service = node + "/list";
  if (!ros::service::waitForService(service, ros::Duration(10))) return false;
  nodelet::NodeletList list;
  if (!ros::service::call(service, list)) return false;
  *names = list.response.nodelets;
  return true;
}

// Waits for the stand-in's unload line and an exit with status 0.
void expectOrderlyEnd(Child* launcher, const std::string& name, bool withStandin) {
  ASSERT_TRUE(waitExit(launcher, 20))
      << "still running\n" << launcher->outText << launcher->errText;
  EXPECT_EQ(0, exitCode(*launcher)) << launcher->errText;
  if (withStandin) {
    EXPECT_NE(std::string::npos, launcher->outText.find("camera stand-in: unloaded " + name))
        << launcher->outText;
  }
}

TEST(CameraLauncher, LoadsDriverUnderOwnNameAndUnloadsItOnInterrupt) {
  Child launcher;
  ASSERT_TRUE(startLauncher(&launcher, {}, true));
  EXPECT_TRUE(framesArrive("/camera_launcher/frame", 3, 15))
      << launcher.outText << launcher.errText;
  // Loaded under the node's own name, with no arguments of its own.
  EXPECT_TRUE(waitForOutput(
      &launcher, "camera stand-in: loaded /camera_launcher with 0 arguments, remappings []", 5))
      << launcher.outText;
  std::vector<std::string> names;
  ASSERT_TRUE(listNodelets("/camera_launcher", &names));
  EXPECT_EQ(std::vector<std::string>{"/camera_launcher"}, names);
  EXPECT_EQ(std::string::npos, launcher.outText.find("unloaded")) << "unloaded before shutdown";

  interrupt(&launcher);
  expectOrderlyEnd(&launcher, "/camera_launcher", true);
  stopChild(&launcher, SIGKILL, 1);
}

TEST(CameraLauncher, NameAndNamespaceFromCommandLineReachDriver) {
  Child launcher;
  ASSERT_TRUE(startLauncher(&launcher, {"__name:=front_camera", "__ns:=/car"}, true));
  EXPECT_TRUE(framesArrive("/car/front_camera/frame", 3, 15))
      << launcher.outText << launcher.errText;
  std::vector<std::string> names;
  ASSERT_TRUE(listNodelets("/car/front_camera", &names));
  EXPECT_EQ(std::vector<std::string>{"/car/front_camera"}, names);
  EXPECT_FALSE(lookupNode("/camera_launcher"));

  interrupt(&launcher);
  expectOrderlyEnd(&launcher, "/car/front_camera", true);
  stopChild(&launcher, SIGKILL, 1);
}

TEST(CameraLauncher, TopicRemappingReachesDriver) {
  Child launcher;
  ASSERT_TRUE(startLauncher(&launcher, {"~frame:=/front/frames"}, true));
  EXPECT_TRUE(framesArrive("/front/frames", 3, 15)) << launcher.outText << launcher.errText;
  // Handed to the driver itself, not only applied by the process at large.
  EXPECT_TRUE(waitForOutput(&launcher, "remappings [/camera_launcher/frame:=/front/frames]", 5))
      << launcher.outText;
  EXPECT_TRUE(waitForOutput(&launcher, "frames on /front/frames", 5)) << launcher.outText;

  interrupt(&launcher);
  expectOrderlyEnd(&launcher, "/camera_launcher", true);
  stopChild(&launcher, SIGKILL, 1);
}

TEST(CameraLauncher, LoaderServicesActOnTheDriver) {
  Child launcher;
  ASSERT_TRUE(startLauncher(&launcher, {}, true));
  std::vector<std::string> names;
  // The services answer only once spinning, that is after the load.
  ASSERT_TRUE(listNodelets("/camera_launcher", &names)) << launcher.errText;
  ASSERT_EQ(std::vector<std::string>{"/camera_launcher"}, names);

  nodelet::NodeletUnload unload;
  unload.request.name = "/camera_launcher";
  ASSERT_TRUE(ros::service::call("/camera_launcher/unload_nodelet", unload));
  EXPECT_TRUE(unload.response.success);
  EXPECT_TRUE(waitForOutput(&launcher, "camera stand-in: unloaded /camera_launcher", 10))
      << launcher.outText;
  ASSERT_TRUE(listNodelets("/camera_launcher", &names));
  EXPECT_TRUE(names.empty());

  // The node outlives its driver until it is told to stop.
  EXPECT_FALSE(waitExit(&launcher, 0.5));
  interrupt(&launcher);
  ASSERT_TRUE(waitExit(&launcher, 20));
  EXPECT_EQ(0, exitCode(launcher));
  stopChild(&launcher, SIGKILL, 1);
}

TEST(CameraLauncher, WithoutDriverIdlesWithLoaderServicesAndExitsOnInterrupt) {
  Child launcher;
  ASSERT_TRUE(startLauncher(&launcher, {}, false));
  std::vector<std::string> names{"not yet listed"};
  ASSERT_TRUE(listNodelets("/camera_launcher", &names)) << launcher.errText;
  EXPECT_TRUE(names.empty());
  EXPECT_TRUE(ros::service::exists("/camera_launcher/load_nodelet", false));
  EXPECT_TRUE(ros::service::exists("/camera_launcher/unload_nodelet", false));
  // The failure is the nodelet package's own report, naming the type tried.
  EXPECT_TRUE(waitForOutput(&launcher, "zed_wrapper/ZEDWrapperNodelet", 10, true))
      << launcher.errText;
  EXPECT_FALSE(waitExit(&launcher, 0.5)) << "ended without being asked";

  interrupt(&launcher);
  expectOrderlyEnd(&launcher, "", false);
  stopChild(&launcher, SIGKILL, 1);
}

TEST(CameraLauncher, ShutdownRequestFromGraphEndsIt) {
  for (bool withStandin : {false, true}) {
    SCOPED_TRACE(withStandin ? "with the driver" : "without the driver");
    Child launcher;
    ASSERT_TRUE(startLauncher(&launcher, {}, withStandin));
    std::vector<std::string> names;
    ASSERT_TRUE(listNodelets("/camera_launcher", &names)) << launcher.errText;
    if (withStandin) {
      ASSERT_TRUE(waitForOutput(&launcher, "camera stand-in: loaded /camera_launcher", 20))
          << launcher.outText;
    }
    ASSERT_TRUE(requestShutdown("/camera_launcher"));
    expectOrderlyEnd(&launcher, "/camera_launcher", withStandin);
    stopChild(&launcher, SIGKILL, 1);
    // Its registrations are gone, so the next case starts from a clean graph.
    EXPECT_TRUE(waitUntil([] { return !lookupNode("/camera_launcher"); }, 10));
  }
}

TEST(CameraLauncher, BadNameOnCommandLineIsReportedNotAborted) {
  Child launcher;
  ASSERT_TRUE(startLauncher(&launcher, {"__name:=front/camera"}, true));
  ASSERT_TRUE(waitExit(&launcher, 20));
  EXPECT_EQ(1, exitCode(launcher)) << launcher.errText;
  EXPECT_NE(std::string::npos,
            launcher.errText.find("camera_launcher: Invalid node name [front/camera]"))
      << launcher.errText;
  stopChild(&launcher, SIGKILL, 1);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "camera_launcher_test");
  ros::NodeHandle nh;  // keeps this node up between the tests' handles
  return RUN_ALL_TESTS();
}
