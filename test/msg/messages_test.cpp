// Message package: wire bytes and traits of the generated types, and that a
// peer package with the same field lines matches on the ROS graph.
#include <gtest/gtest.h>
#include <ros/ros.h>
#include <stdlib.h>
#include <unistd.h>

#include <mutex>
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

// The sums are the MD5 of the field lines, which peers match on; a peer
// package generated from the same lines must carry the very same ones.
template <typename Tacho, typename Telemetry>
void expectTraits(const std::string& package) {
  using namespace ros::message_traits;
  EXPECT_EQ(package + "/Tachometer", DataType<Tacho>::value());
  EXPECT_STREQ("1c487592c900c21b37f53edce9a36629", MD5Sum<Tacho>::value());
  // Kinetic's generator ends the text with a blank line, newer ones with
  // one newline; the sums are the same for both.
  EXPECT_PRED2(isDefinition, "float64 rpm\n", Definition<Tacho>::value());
  EXPECT_EQ(package + "/Telemetry", DataType<Telemetry>::value());
  EXPECT_STREQ("1562a5a885c295584eaf5e0ababaabd7", MD5Sum<Telemetry>::value());
  EXPECT_PRED2(isDefinition, "int32 speed\nint32 angle\n", Definition<Telemetry>::value());
  EXPECT_FALSE(hasHeader<Tacho>());
  EXPECT_FALSE(hasHeader<Telemetry>());
  EXPECT_TRUE(isFixedSize<Tacho>());
  EXPECT_TRUE(isFixedSize<Telemetry>());
}

TEST(Messages, TraitsOfThePackageAndOfAPeerWithTheSameFields) {
  expectTraits<pelmora::Tachometer, pelmora::Telemetry>("pelmora");
  expectTraits<pelmora_peer::Tachometer, pelmora_peer::Telemetry>("pelmora_peer");
}

// A second process publishes pelmora/Telemetry with values this one picks
// (every byte and the sign in use); subscribed with the peer package's type,
// this one must receive exactly those, from that node, over a connection
// whose publisher declared the other package's type.
TEST(Messages, PeerSubscriberReceivesExactValuesFromAnotherProcess) {
  ros::NodeHandle nh;
  std::mutex lock;
  std::vector<std::string> got;  // "speed angle publisher type" per message
  // Taking the event (not the message) gives the connection's header.
  typedef ros::MessageEvent<pelmora_peer::Telemetry const> Event;
  boost::function<void(const Event&)> take = [&](const Event& e) {
    std::lock_guard<std::mutex> hold(lock);
    got.push_back(std::to_string(e.getMessage()->speed) + " " + std::to_string(e.getMessage()->angle) + " " +
                  e.getPublisherName() + " " + e.getConnectionHeader().at("type"));
  };
  ros::SubscribeOptions options;
  options.initByFullCallbackType<const Event&>("peer_check", 10, take);
  ros::Subscriber sub = nh.subscribe(options);
  Child publisher;
  std::string error;
  ASSERT_TRUE(startChild(&publisher, {g_argv[0], "-19088744", "2130706307", "--publish"}, "", {}, &error))
      << error;
  bool received = waitUntil([&] {
    ros::spinOnce();
    std::lock_guard<std::mutex> hold(lock);
    return !got.empty();
  }, 20);
  stopChild(&publisher, SIGINT, 5);
  ASSERT_TRUE(received) << publisher.errText;
  EXPECT_EQ("-19088744 2130706307 /peer_publisher pelmora/Telemetry", got[0]);
}

// argv: program, speed, angle, "--publish".
int publishUntilStopped(int argc, char** argv) {
  pelmora::Telemetry m;
  m.speed = atoi(argv[1]);
  m.angle = atoi(argv[2]);
  ros::init(argc, argv, "peer_publisher");
  ros::NodeHandle nh;
  ros::Publisher pub = nh.advertise<pelmora::Telemetry>("peer_check", 10);
  ros::Rate rate(20);
  while (ros::ok()) {
    pub.publish(m);
    ros::spinOnce();
    rate.sleep();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3 && std::string(argv[argc - 1]) == "--publish") return publishUntilStopped(argc, argv);
  g_argv = argv;
  testing::InitGoogleTest(&argc, argv);
  ros::init(argc, argv, "messages_test");
  return RUN_ALL_TESTS();
}
