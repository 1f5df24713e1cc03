// Message package: wire bytes and traits of the generated types, and that a
// peer package with the same field lines matches on the ROS graph.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include <pelmora/Tachometer.h>
#include <pelmora/Telemetry.h>
#include <pelmora_peer/Tachometer.h>
#include <pelmora_peer/Telemetry.h>

#include "process.h"

namespace {

char** g_argv = nullptr;

template <typename M>
std::vector<uint8_t> wire(const M& m) {
  std::vector<uint8_t> bytes(ros::serialization::serializationLength(m));
  ros::serialization::OStream out(bytes.data(), bytes.size());
  ros::serialization::serialize(out, m);
  return bytes;
}

TEST(Tachometer, WireBytes) {
  pelmora::Tachometer t;
  EXPECT_EQ(0.0, t.rpm);
  EXPECT_EQ(std::vector<uint8_t>(8, 0), wire(t));
  t.rpm = 1.0;
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}), wire(t));

  pelmora::Tachometer back;
  std::vector<uint8_t> bytes = wire(t);
  ros::serialization::IStream in(bytes.data(), bytes.size());
  ros::serialization::deserialize(in, back);
  EXPECT_EQ(1.0, back.rpm);
}

TEST(Telemetry, WireBytes) {
  pelmora::Telemetry m;
  EXPECT_EQ(0, m.speed);
  EXPECT_EQ(0, m.angle);
  m.speed = 1600;
  m.angle = 90;
  EXPECT_EQ((std::vector<uint8_t>{0x40, 0x06, 0, 0, 0x5A, 0, 0, 0}), wire(m));
  m.speed = -1;
  m.angle = -30;
  EXPECT_EQ((std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xE2, 0xFF, 0xFF, 0xFF}), wire(m));
}

bool isDefinition(const std::string& lines, const std::string& generated) {
  return generated == lines || generated == lines + "\n";
}

TEST(Messages, Traits) {
  using namespace ros::message_traits;
  EXPECT_STREQ("pelmora/Tachometer", DataType<pelmora::Tachometer>::value());
  EXPECT_STREQ("1c487592c900c21b37f53edce9a36629", MD5Sum<pelmora::Tachometer>::value());
  // Kinetic's generator ends the text with a blank line, newer ones with
  // one newline; the sums, which peers match on, are the same for both.
  EXPECT_PRED2(isDefinition, "float64 rpm\n", Definition<pelmora::Tachometer>::value());
  EXPECT_STREQ("pelmora/Telemetry", DataType<pelmora::Telemetry>::value());
  EXPECT_STREQ("1562a5a885c295584eaf5e0ababaabd7", MD5Sum<pelmora::Telemetry>::value());
  EXPECT_PRED2(isDefinition, "int32 speed\nint32 angle\n", Definition<pelmora::Telemetry>::value());
  EXPECT_FALSE(hasHeader<pelmora::Tachometer>());
  EXPECT_FALSE(hasHeader<pelmora::Telemetry>());
  EXPECT_TRUE(isFixedSize<pelmora::Tachometer>());
  EXPECT_TRUE(isFixedSize<pelmora::Telemetry>());
}

TEST(Messages, PeerPackageHasSameSums) {
  using namespace ros::message_traits;
  EXPECT_STREQ(MD5Sum<pelmora::Tachometer>::value(), MD5Sum<pelmora_peer::Tachometer>::value());
  EXPECT_STREQ(MD5Sum<pelmora::Telemetry>::value(), MD5Sum<pelmora_peer::Telemetry>::value());
  EXPECT_STREQ("pelmora_peer/Telemetry", DataType<pelmora_peer::Telemetry>::value());
}

// A second process publishes pelmora/Telemetry; this one subscribes with the
// peer package's type and must receive the values.
TEST(Messages, PeerSubscriberReceivesFromPublisher) {
  ros::NodeHandle nh;
  std::atomic<int> received(0);
  std::atomic<int> lastSpeed(0), lastAngle(0);
  ros::Subscriber sub = nh.subscribe<pelmora_peer::Telemetry>(
      "peer_check", 10, [&](const pelmora_peer::Telemetry::ConstPtr& m) {
        lastSpeed = m->speed;
        lastAngle = m->angle;
        ++received;
      });
  Child publisher;
  std::string error;
  ASSERT_TRUE(startChild(&publisher, {g_argv[0], "--publish"}, "", {}, &error)) << error;
  bool got = waitUntil([&] {
    ros::spinOnce();
    return received.load() > 0;
  }, 20);
  stopChild(&publisher, SIGINT, 5);
  ASSERT_TRUE(got) << publisher.errText;
  EXPECT_EQ(1600, lastSpeed.load());
  EXPECT_EQ(90, lastAngle.load());
}

int publishUntilStopped(int argc, char** argv) {
  ros::init(argc, argv, "peer_publisher");
  ros::NodeHandle nh;
  ros::Publisher pub = nh.advertise<pelmora::Telemetry>("peer_check", 10);
  ros::Rate rate(20);
  while (ros::ok()) {
    pelmora::Telemetry m;
    m.speed = 1600;
    m.angle = 90;
    pub.publish(m);
    ros::spinOnce();
    rate.sleep();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[argc - 1]) == "--publish") return publishUntilStopped(argc, argv);
  g_argv = argv;
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "messages_test");
  return RUN_ALL_TESTS();
}
