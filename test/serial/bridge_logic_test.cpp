// Unit tests of the serial bridge's pure rules: mode choice, byte
// encodings and the change filter.
#include <gtest/gtest.h>

#include <climits>

#include "bridge_logic.h"

TEST(BridgeMode, OnlyExactReadOrWatchSelectsThem) {
  const char* none[] = {"serial"};
  const char* read[] = {"serial", "read"};
  const char* readMore[] = {"serial", "read", "whatever"};
  const char* upper[] = {"serial", "READ"};
  const char* longer[] = {"serial", "reader"};
  const char* empty[] = {"serial", ""};
  const char* watch[] = {"serial", "--watch", "read"};
  const char* watchLater[] = {"serial", "write", "--watch"};
  const char* watchLonger[] = {"serial", "--watcher"};
  EXPECT_EQ(kModeNeutral, bridgeMode(1, none));
  EXPECT_EQ(kModeReader, bridgeMode(2, read));
  EXPECT_EQ(kModeReader, bridgeMode(3, readMore));
  EXPECT_EQ(kModeWriter, bridgeMode(2, upper));
  EXPECT_EQ(kModeWriter, bridgeMode(2, longer));
  EXPECT_EQ(kModeWriter, bridgeMode(2, empty));
  EXPECT_EQ(kModeWatchingWriter, bridgeMode(3, watch));
  EXPECT_EQ(kModeWriter, bridgeMode(3, watchLater));
  EXPECT_EQ(kModeWriter, bridgeMode(2, watchLonger));
}

TEST(CommandEncoding, ThrottleTableTruncatesAndWraps) {
  EXPECT_EQ(60, throttleByte(1600));
  EXPECT_EQ(60, throttleByte(1605));
  EXPECT_EQ(60, throttleByte(1609));
  EXPECT_EQ(61, throttleByte(1610));
  EXPECT_EQ(0, throttleByte(1000));
  EXPECT_EQ(0, throttleByte(995));   // -5 / 10 truncates to 0
  EXPECT_EQ(255, throttleByte(990));  // -1 wraps
  EXPECT_EQ(100, throttleByte(2000));
  EXPECT_EQ(0, throttleByte(3560));  // 256 wraps
  EXPECT_EQ(255, throttleByte(3550));
}

TEST(CommandEncoding, ThrottleExtremesDoNotOverflow) {
  // (INT_MIN - 1000) / 10 and (INT_MAX - 1000) / 10, taken mod 256.
  long long low = (static_cast<long long>(INT_MIN) - 1000) / 10;
  long long high = (static_cast<long long>(INT_MAX) - 1000) / 10;
  EXPECT_EQ(static_cast<int>(static_cast<unsigned long long>(low) & 0xFF), throttleByte(INT_MIN));
  EXPECT_EQ(static_cast<int>(high & 0xFF), throttleByte(INT_MAX));
}

TEST(CommandEncoding, SteeringNegatedOrPlain) {
  EXPECT_EQ(166, steeringByte(90, true));
  EXPECT_EQ(0, steeringByte(0, true));
  EXPECT_EQ(211, steeringByte(45, true));
  EXPECT_EQ(76, steeringByte(180, true));
  EXPECT_EQ(212, steeringByte(300, true));
  EXPECT_EQ(90, steeringByte(-90, true));
  EXPECT_EQ(0, steeringByte(INT_MIN, true));
  EXPECT_EQ(90, steeringByte(90, false));
  EXPECT_EQ(45, steeringByte(45, false));
  EXPECT_EQ(180, steeringByte(180, false));
  EXPECT_EQ(44, steeringByte(300, false));
  EXPECT_EQ(166, steeringByte(-90, false));
}

TEST(CommandEncoding, EchoShowsTheThrottleTheByteStandsFor) {
  EXPECT_EQ(1600, echoedThrottle(throttleByte(1609)));
  EXPECT_EQ(1000, echoedThrottle(throttleByte(995)));
  EXPECT_EQ(3550, echoedThrottle(throttleByte(990)));
  EXPECT_EQ(1000, echoedThrottle(0));
}

TEST(ChangeFilter, SendsOnlyChangedPairsWhenFiltering) {
  EXPECT_FALSE(pairToSend(true, 255, 255, 255, 255));
  EXPECT_TRUE(pairToSend(true, 60, 166, 255, 255));
  EXPECT_FALSE(pairToSend(true, 60, 166, 60, 166));
  EXPECT_TRUE(pairToSend(true, 61, 166, 60, 166));
  EXPECT_TRUE(pairToSend(true, 60, 165, 60, 166));
  EXPECT_TRUE(pairToSend(false, 60, 90, 60, 90));
}
