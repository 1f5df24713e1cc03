// The package's two messages as other nodes of the robot see them: the
// type names and sums that peers match on, and the bytes on the wire.
#include <gtest/gtest.h>
#include <ros/ros.h>

#include <string>
#include <vector>

#include <pelmora/Tachometer.h>
#include <pelmora/Telemetry.h>

namespace {

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

// The sums are the MD5 of the field lines: a peer built from other field
// lines, or the same lines changed here, no longer connects.
TEST(Messages, TypeNamesSumsAndDefinitions) {
  using namespace ros::message_traits;
  EXPECT_EQ(std::string("pelmora/Tachometer"), DataType<pelmora::Tachometer>::value());
  EXPECT_STREQ("1c487592c900c21b37f53edce9a36629", MD5Sum<pelmora::Tachometer>::value());
  // Kinetic's generator ends the text with a blank line, newer ones with
  // one newline; the sums are the same for both.
  EXPECT_PRED2(isDefinition, "float64 rpm\n", Definition<pelmora::Tachometer>::value());
  EXPECT_EQ(std::string("pelmora/Telemetry"), DataType<pelmora::Telemetry>::value());
  EXPECT_STREQ("1562a5a885c295584eaf5e0ababaabd7", MD5Sum<pelmora::Telemetry>::value());
  EXPECT_PRED2(isDefinition, "int32 speed\nint32 angle\n", Definition<pelmora::Telemetry>::value());
}

}  // namespace
