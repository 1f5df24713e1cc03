// Unit tests of the serial bridge's pure rules: mode choice, byte
// encodings, the change filter and the freshness bound.
#include <gtest/gtest.h>

#include <climits>

#include "bridge_logic.h"

// The mode word is the first argument left once the console programs'
// options and roslaunch's arguments are taken out (console/arguments.h).
TEST(BridgeMode, OnlyExactReadOrWatchSelectsThem) {
  EXPECT_EQ(kModeNeutral, bridgeMode(nullptr));
  EXPECT_EQ(kModeReader, bridgeMode("read"));
  EXPECT_EQ(kModeWriter, bridgeMode("READ"));
  EXPECT_EQ(kModeWriter, bridgeMode("reader"));
  EXPECT_EQ(kModeWriter, bridgeMode(""));
  EXPECT_EQ(kModeWatchingWriter, bridgeMode("--watch"));
  EXPECT_EQ(kModeWriter, bridgeMode("write"));
  EXPECT_EQ(kModeWriter, bridgeMode("--watcher"));
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

// The freshness bound of 500 ms as one scenario, pass by pass: what each
// look at the two files gives. Stamps differ in one field at a time.
TEST(FreshnessBound, StaleUntilWrittenThenNeutralOnceAfterTheBound) {
  const FileStamp absent = FileStamp();
  const FileStamp a = {true, 10, 1000, 1000, 5};
  FileStamp b = a;
  b.inode = 11;  // another file renamed over it
  FileStamp inPlace = a;
  inPlace.modifiedNs = 2000;  // written in place, same size
  FileStamp grown = inPlace;
  grown.size = 6;
  FileStamp touched = grown;
  touched.changedNs = 3000;
  const int kBound = 500;
  struct Pass {
    FileStamp throttle;
    FileStamp steering;
    double at;
    FreshVerdict verdict;
  };
  const Pass passes[] = {
      {a, a, 0, kFreshHold},            // a writer starting sees the files, not a write
      {a, a, 10000, kFreshHold},        // and waits for one however long
      {b, a, 10010, kFreshResume},      // renamed over: the files' pair, even if unchanged
      {b, a, 10509, kFreshForward},
      {b, a, 10510, kFreshGoStale},     // 500 ms without a write: neutral, once
      {b, a, 10600, kFreshHold},
      {b, absent, 10700, kFreshHold},   // a file going away is no write
      {b, inPlace, 10800, kFreshResume},  // one that comes back is
      {b, inPlace, 11200, kFreshForward},
      {grown, inPlace, 11250, kFreshForward},  // each change starts the bound anew
      {grown, touched, 11700, kFreshForward},
      {grown, touched, 12199, kFreshForward},
      {grown, touched, 12200, kFreshGoStale},
      {grown, touched, 99999, kFreshHold},
  };
  Freshness f;
  startFreshness(&f);
  for (const Pass& p : passes) {
    SCOPED_TRACE(p.at);
    const FileStamp stamps[2] = {p.throttle, p.steering};
    EXPECT_EQ(p.verdict, freshness(&f, stamps, p.at, kBound));
  }
  // Files missing at the start: the first one written is seen.
  startFreshness(&f);
  const FileStamp none[2] = {absent, absent};
  const FileStamp one[2] = {a, absent};
  EXPECT_EQ(kFreshHold, freshness(&f, none, 0, kBound));
  EXPECT_EQ(kFreshResume, freshness(&f, one, 5, kBound));
}
