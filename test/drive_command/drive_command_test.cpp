// Drive command node: the shipped program with a real ROS master and a real
// subscriber, its console on a pipe that the test writes to and closes.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <signal.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include <pelmora/Telemetry.h>

#include "process.h"
#include "ros_graph.h"

namespace {

const std::string kNode = programPath("drive_command");

struct Received {
  int speed;
  int angle;
  double at;
};

// Nodes that the master lists as publishers of topic.
std::vector<std::string> publishersOf(const std::string& topic) {
  XmlRpc::XmlRpcValue args, result, payload;
  args[0] = ros::this_node::getName();
  std::vector<std::string> nodes;
  if (!ros::master::execute("getSystemState", args, result, payload, false)) return nodes;
  XmlRpc::XmlRpcValue& published = payload[0];
  for (int i = 0; i < published.size(); ++i) {
    if (static_cast<std::string>(published[i][0]) != topic) continue;
    for (int j = 0; j < published[i][1].size(); ++j) nodes.push_back(published[i][1][j]);
  }
  return nodes;
}

class DriveCommandNode : public testing::Test {
 protected:
  void listen(const std::string& topic) {
    ros::NodeHandle nh;
    sub_ = nh.subscribe<pelmora::Telemetry>(topic, 100, [this](const pelmora::Telemetry::ConstPtr& m) {
      std::lock_guard<std::mutex> hold(lock_);
      messages_.push_back(Received{m->speed, m->angle, nowSeconds()});
    });
  }

  void start(const std::vector<std::string>& rosArgs = {}, InputMode input = kBlockingInput) {
    std::vector<std::string> argv{kNode};
    argv.insert(argv.end(), rosArgs.begin(), rosArgs.end());
    std::string error;
    ASSERT_TRUE(startChild(&node_, argv, "", {}, &error, input)) << error;
  }

  void TearDown() override {
    stopChild(&node_, SIGKILL, 5);
    sub_.shutdown();
  }

  size_t count() {
    std::lock_guard<std::mutex> hold(lock_);
    return messages_.size();
  }

  std::vector<Received> since(size_t from) {
    std::lock_guard<std::mutex> hold(lock_);
    return std::vector<Received>(messages_.begin() + std::min(from, messages_.size()), messages_.end());
  }

  // Waits for a message carrying the pair, received at index from or later.
  bool waitForPair(int speed, int angle, double seconds, size_t from = 0) {
    return waitUntil([&] {
      for (const Received& r : since(from))
        if (r.speed == speed && r.angle == angle) return true;
      return false;
    }, seconds);
  }

  std::string seen() {
    std::string text;
    for (const Received& r : since(0)) text += std::to_string(r.speed) + "/" + std::to_string(r.angle) + " ";
    return text + "| stderr: " + node_.errText;
  }

  void send(const std::string& text) { ASSERT_TRUE(writeInput(&node_, text)); }

  // The node has dropped off the master and out of our subscriber.
  bool leftGraph(const std::string& name, double seconds) {
    return waitUntil([&] { return !lookupNode(name) && sub_.getNumPublishers() == 0; }, seconds);
  }

  void expectStopsCleanly(const std::string& name) {
    ASSERT_TRUE(waitExit(&node_, 15)) << seen();
    EXPECT_EQ(0, exitCode(node_)) << node_.errText;
    EXPECT_TRUE(leftGraph(name, 10));
  }

  std::mutex lock_;
  std::vector<Received> messages_;
  ros::Subscriber sub_;
  Child node_;
};

TEST_F(DriveCommandNode, PublishesNeutralPairAtTenHertzWithoutInput) {
  listen("/serial");
  start();
  ASSERT_TRUE(waitUntil([&] { return count() >= 21; }, 30)) << seen();
  std::vector<Received> got = since(0);
  std::vector<double> gaps;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(1600, got[i].speed);
    EXPECT_EQ(90, got[i].angle);
    if (i > 0) gaps.push_back(got[i].at - got[i - 1].at);
  }
  // The median shrugs off the odd late delivery on a busy machine, yet a
  // loop without its rate, or at 1 Hz, is far outside this band.
  std::sort(gaps.begin(), gaps.end());
  double median = gaps[gaps.size() / 2];
  EXPECT_GT(median, 0.06);
  EXPECT_LT(median, 0.16);
  EXPECT_TRUE(lookupNode("/serial_writer"));
  EXPECT_EQ(std::vector<std::string>{"/serial_writer"}, publishersOf("/serial"));
}

// What crosses the process boundary; the protocol's cases are the unit
// table of console_protocol_test. On a non-blocking console, as some
// launchers hand over: an empty one is waited on, not taken for the end of
// input, so publishing goes on; a number may come on a later read.
TEST_F(DriveCommandNode, ConsoleCommandsSetSpeedAndAngleAndZeroStops) {
  listen("/serial");
  start({}, kNonBlockingInput);
  ASSERT_TRUE(waitUntil([&] { return count() >= 5; }, 30)) << seen();
  EXPECT_FALSE(waitExit(&node_, 0)) << seen();
  send("t1700\n");
  ASSERT_TRUE(waitForPair(1700, 90, 10)) << seen();
  send("s45\n");
  ASSERT_TRUE(waitForPair(1700, 45, 10)) << seen();
  send("t\n");
  send("\n");
  send("2000\n");
  ASSERT_TRUE(waitForPair(2000, 45, 10)) << seen();
  send("0\n");
  expectStopsCleanly("/serial_writer");
}

TEST_F(DriveCommandNode, EndOfInputStops) {
  listen("/serial");
  start();
  ASSERT_TRUE(waitForPair(1600, 90, 30)) << seen();
  closeInput(&node_);
  expectStopsCleanly("/serial_writer");
}

// A shutdown from the graph ends publishing, but the process waits for the
// console, which still reads commands: the 0 after the "t" is a speed, and
// only the 0 after that stops it.
TEST_F(DriveCommandNode, GraphShutdownFirstThenConsoleStop) {
  listen("/serial");
  start();
  send("t1500\n");
  ASSERT_TRUE(waitForPair(1500, 90, 30)) << seen();
  ASSERT_TRUE(requestShutdown("/serial_writer"));
  ASSERT_TRUE(leftGraph("/serial_writer", 10)) << seen();
  send("s20\nt\n0\n");
  // Back in its read with all of that taken, the console thread has not
  // seen a stop: a thread that had would have ended instead.
  ASSERT_TRUE(waitInputTaken(&node_, 10)) << seen();
  EXPECT_FALSE(waitExit(&node_, 0)) << "exited before a stop command";
  EXPECT_TRUE(publishersOf("/serial").empty());
  send("0\n");
  ASSERT_TRUE(waitExit(&node_, 10));
  EXPECT_EQ(0, exitCode(node_)) << node_.errText;
}

TEST_F(DriveCommandNode, InterruptFirstThenEndOfInput) {
  listen("/serial");
  start();
  ASSERT_TRUE(waitForPair(1600, 90, 30)) << seen();
  ASSERT_EQ(0, kill(node_.pid, SIGINT));
  ASSERT_TRUE(leftGraph("/serial_writer", 10)) << seen();
  EXPECT_FALSE(waitExit(&node_, 1.5)) << "exited before its console ended";
  closeInput(&node_);
  ASSERT_TRUE(waitExit(&node_, 10));
  EXPECT_EQ(0, exitCode(node_)) << node_.errText;
}

TEST_F(DriveCommandNode, TopicFollowsRemappingAndNamespace) {
  listen("/car/other");
  start({"serial:=other", "__ns:=/car"});
  ASSERT_TRUE(waitForPair(1600, 90, 30)) << seen();
  EXPECT_TRUE(lookupNode("/car/serial_writer"));
  EXPECT_FALSE(lookupNode("/serial_writer"));
  EXPECT_EQ(std::vector<std::string>{"/car/serial_writer"}, publishersOf("/car/other"));
  EXPECT_TRUE(publishersOf("/car/serial").empty());
  EXPECT_TRUE(publishersOf("/serial").empty());
  send("s7\n");
  ASSERT_TRUE(waitForPair(1600, 7, 10)) << seen();
  closeInput(&node_);
  expectStopsCleanly("/car/serial_writer");
}

TEST_F(DriveCommandNode, BadRemappingIsReportedAndEndsTheProcess) {
  start({"serial:=9bad"});
  ASSERT_TRUE(waitExit(&node_, 15)) << node_.errText;
  EXPECT_EQ(1, exitCode(node_)) << node_.errText;
  EXPECT_NE(std::string::npos, node_.errText.find("drive_command: ")) << node_.errText;
  EXPECT_NE(std::string::npos, node_.errText.find("9bad")) << node_.errText;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "drive_command_test");
  ros::NodeHandle nh;
  // Subscriber callbacks run here while the tests wait on conditions.
  ros::AsyncSpinner spinner(1);
  spinner.start();
  int result = RUN_ALL_TESTS();
  spinner.stop();
  killAllChildren();
  return result;
}
