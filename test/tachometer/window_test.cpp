// Tachometer node: window rules, rpm arithmetic, command line, log names
// and the elapsed-time clock.
#include <gtest/gtest.h>
#include <time.h>

#include <string>

#include "clock.h"
#include "edges.h"
#include "window.h"

namespace {

TEST(TachometerWindow, ClosesAtTheCountsthChange) {
  EXPECT_TRUE(windowOpen(0, 5, 0.0));
  EXPECT_TRUE(windowOpen(4, 5, 999.0));
  EXPECT_FALSE(windowOpen(5, 5, 10.0));
  EXPECT_FALSE(windowOpen(6, 5, 10.0));
}

TEST(TachometerWindow, ClosesAtTheFirstChangeAtOrPastTheLimit) {
  EXPECT_TRUE(windowOpen(1, 5, 999.999));
  EXPECT_FALSE(windowOpen(1, 5, 1000.0));
  EXPECT_FALSE(windowOpen(1, 5, 1500.0));
}

TEST(TachometerWindow, ZeroCountsNeverOpens) {
  EXPECT_FALSE(windowOpen(0, 0, 0.0));
}

TEST(TachometerWindow, NegativeCountsLeavesOnlyTheTimeLimit) {
  EXPECT_TRUE(windowOpen(100000, -1, 999.0));
  EXPECT_TRUE(windowOpen(100000, -5, 0.0));
  EXPECT_FALSE(windowOpen(100000, -1, 1000.0));
}

// A long window, closed by the time limit, must not close the next one at once.
TEST(TachometerWindow, FreshWindowOpensAfterALongOne) {
  unsigned int changes = 1;
  double elapsed = 1500.0;
  EXPECT_FALSE(windowOpen(changes, 5, elapsed));
  startNextWindow(&changes, &elapsed);
  EXPECT_TRUE(windowOpen(changes, 5, elapsed));
  EXPECT_EQ(0u, changes);
  changes = 5;
  elapsed = 20.0;
  startNextWindow(&changes, &elapsed);
  EXPECT_TRUE(windowOpen(changes, 5, elapsed));
}

// A wait for the line ends when the wheel would count as still, or at the
// due flush when windows wait for one; never early, never past the cap.
TEST(TachometerWaits, WakeAtStillnessOrADueFlush) {
  EXPECT_DOUBLE_EQ(7500.0, wakeTime(5000.0, 500.0, false, 0.0));
  EXPECT_DOUBLE_EQ(6000.0, wakeTime(5000.0, 500.0, true, 5000.0));
  EXPECT_DOUBLE_EQ(7500.0, wakeTime(5000.0, 500.0, true, 6800.0));
  EXPECT_EQ(100, waitMs(0.0, 7500.0, 100));
  EXPECT_EQ(37, waitMs(7463.0, 7500.0, 100));
  EXPECT_EQ(1, waitMs(7499.8, 7500.0, 100));
  EXPECT_EQ(0, waitMs(7500.0, 7500.0, 100));
  EXPECT_EQ(0, waitMs(9000.0, 7500.0, 100));
}

TEST(TachometerRpm, TwoChangesPerTurn) {
  EXPECT_DOUBLE_EQ(3000.0, windowRpm(5, 50.0));
  EXPECT_DOUBLE_EQ(20.0, windowRpm(1, 1500.0));
  EXPECT_DOUBLE_EQ(600.0, windowRpm(2, 100.0));
  EXPECT_DOUBLE_EQ(60.0, windowRpm(3, 1500.0));
}

TEST(TachometerRpm, NoChangeIsZeroWhateverTheLength) {
  EXPECT_EQ(0.0, windowRpm(0, 0.0));
  EXPECT_EQ(0.0, windowRpm(0, 0.001));
  EXPECT_EQ(0.0, windowRpm(0, 5000.0));
}

TEST(TachometerArguments, DefaultsAndAtoi) {
  char prog[] = "tachometer";
  char seven[] = "7";
  char minus[] = "-3";
  char speed[] = "1234";
  char word[] = "fast";

  int counts = -99, rpmSpeed = -99;
  char* none[] = {prog};
  readArguments(1, none, &counts, &rpmSpeed);
  EXPECT_EQ(5, counts);
  EXPECT_EQ(2000, rpmSpeed);

  char* one[] = {prog, seven};
  readArguments(2, one, &counts, &rpmSpeed);
  EXPECT_EQ(7, counts);
  EXPECT_EQ(2000, rpmSpeed);

  char* two[] = {prog, minus, speed};
  readArguments(3, two, &counts, &rpmSpeed);
  EXPECT_EQ(-3, counts);
  EXPECT_EQ(1234, rpmSpeed);

  char* words[] = {prog, word, word};
  readArguments(3, words, &counts, &rpmSpeed);
  EXPECT_EQ(0, counts);
  EXPECT_EQ(0, rpmSpeed);
}

TEST(TachometerArguments, EdgesFlagAnywhereIsTakenOut) {
  char prog[] = "tachometer";
  char flag[] = "--edges";
  char flag2[] = "--edges";
  char seven[] = "7";
  char speed[] = "1234";
  char other[] = "--edge";

  char* middle[] = {prog, seven, flag, speed, nullptr};
  int argc = 4;
  EXPECT_TRUE(takeEdgesFlag(&argc, middle));
  ASSERT_EQ(3, argc);
  EXPECT_STREQ("7", middle[1]);
  EXPECT_STREQ("1234", middle[2]);
  EXPECT_EQ(nullptr, middle[3]);
  int counts = 0, rpmSpeed = 0;
  readArguments(argc, middle, &counts, &rpmSpeed);
  EXPECT_EQ(7, counts);
  EXPECT_EQ(1234, rpmSpeed);

  char* twice[] = {prog, flag, seven, flag2};
  argc = 4;
  EXPECT_TRUE(takeEdgesFlag(&argc, twice));
  ASSERT_EQ(2, argc);
  EXPECT_STREQ("7", twice[1]);

  // Without the flag the line is left as it was; a near miss is no flag.
  char* none[] = {prog, other, seven};
  argc = 3;
  EXPECT_FALSE(takeEdgesFlag(&argc, none));
  ASSERT_EQ(3, argc);
  EXPECT_STREQ("--edge", none[1]);
  EXPECT_STREQ("7", none[2]);
}

TEST(TachometerEdges, EdgeFileTextGivesItsKeyword) {
  char setting[kEdgeSettingSize] = "x";
  EXPECT_TRUE(parseEdgeSetting("falling\n", 8, setting));
  EXPECT_STREQ("falling", setting);
  EXPECT_TRUE(parseEdgeSetting("none", 4, setting));
  EXPECT_STREQ("none", setting);
  EXPECT_TRUE(parseEdgeSetting("both\n", 5, setting));
  EXPECT_STREQ("both", setting);
  EXPECT_FALSE(parseEdgeSetting("", 0, setting));
  EXPECT_FALSE(parseEdgeSetting("bo", 2, setting));
  EXPECT_FALSE(parseEdgeSetting("rising\n\n", 8, setting));
  EXPECT_FALSE(parseEdgeSetting("risingx", 7, setting));
  EXPECT_STREQ("both", setting);
}

TEST(TachometerLogNames, CountsAndSpeedInTheNames) {
  char name[kLogNameSize];
  rpmLogName(name, 5, 2000);
  EXPECT_STREQ("files/tachs_counts_5_speed_2000.txt", name);
  durationLogName(name, 5, 2000);
  EXPECT_STREQ("files/times_counts_5_speed_2000.txt", name);
  rpmLogName(name, -1, -2147483647 - 1);
  EXPECT_STREQ("files/tachs_counts_-1_speed_-2147483648.txt", name);
  EXPECT_STREQ("files/raw_2000.txt", kRawLogName);
}

TEST(TachometerClock, MillisBetweenBorrowsAcrossSeconds) {
  struct timespec begin = {10, 900000000};
  struct timespec end = {11, 100000000};
  EXPECT_DOUBLE_EQ(200.0, millisBetween(begin, end));
  end = {10, 900001000};
  EXPECT_DOUBLE_EQ(0.001, millisBetween(begin, end));
  end = {13, 900000000};
  EXPECT_DOUBLE_EQ(3000.0, millisBetween(begin, end));
  EXPECT_DOUBLE_EQ(-200.0, millisBetween({11, 100000000}, begin));
}

TEST(TachometerClock, MillisCountsFromInitTimer) {
  initTimer();
  const double first = millis();
  EXPECT_GE(first, 0.0);
  struct timespec pause = {0, 30 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  const double later = millis();
  EXPECT_GE(later - first, 29.0);
  initTimer();
  EXPECT_LT(millis(), later);
}

}  // namespace
