// Tachometer node: window rules, rpm arithmetic, command line, log names,
// the elapsed-time clock, the --events mode's rules and the health report.
#include <gtest/gtest.h>
#include <time.h>

#include <string>
#include <vector>

#include "clock.h"
#include "edges.h"
#include "events.h"
#include "health.h"
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

  // --events the same way, leaving --edges where it is.
  char events[] = "--events";
  char* both[] = {prog, events, flag, seven, nullptr};
  argc = 4;
  EXPECT_TRUE(takeEventsFlag(&argc, both));
  ASSERT_EQ(3, argc);
  EXPECT_STREQ("--edges", both[1]);
  EXPECT_STREQ("7", both[2]);
  EXPECT_EQ(nullptr, both[3]);
  EXPECT_FALSE(takeEventsFlag(&argc, both));
}

// gpio-mockup's chip at base 384 with 32 lines holds 397 as offset 13.
// Linux 6.1 puts its sysfs chip beside its device, under the platform
// device; a chip without a parent device has it inside its own.
TEST(TachometerEvents, ChipOfTheLineByBaseAndLineCount) {
  const GpioChip soc = {"", "/sys/devices/soc/gpio/gpiochip0", "soc", 0, 64};
  const GpioChip mockup = {"", "/sys/devices/platform/gpio-mockup.0/gpio/gpiochip384", "gpio-mockup-A", 384, 32};
  const GpioChip socDevice = {"/dev/gpiochip0", "/sys/devices/soc/gpiochip0", "soc", -1, 64};
  const GpioChip mockupDevice = {"/dev/gpiochip1", "/sys/devices/platform/gpio-mockup.0/gpiochip1", "gpio-mockup-A",
                                 -1, 32};
  // The same label and line count under another device.
  const GpioChip twinDevice = {"/dev/gpiochip2", "/sys/devices/platform/gpio-mockup.1/gpiochip2", "gpio-mockup-A",
                               -1, 32};
  const GpioChip unnamed = {"", "/sys/devices/virtual/gpiochip3/gpio/gpiochip384", "", 384, 32};
  const GpioChip unnamedDevice = {"/dev/gpiochip3", "/sys/devices/virtual/gpiochip3", "", -1, 32};
  const GpioChip unresolved = {"/dev/gpiochip1", "", "gpio-mockup-A", -1, 32};
  struct Case {
    const char* name;
    std::vector<GpioChip> sysfs;
    std::vector<GpioChip> devices;
    int line;
    int chip;
    int offset;
  } const cases[] = {
      {"beside its device", {soc, mockup}, {socDevice, mockupDevice}, 397, 1, 13},
      {"first line", {soc, mockup}, {socDevice, mockupDevice}, 384, 1, 0},
      {"last line", {soc, mockup}, {socDevice, mockupDevice}, 415, 1, 31},
      {"other chip", {soc, mockup}, {mockupDevice, socDevice}, 63, 1, 63},
      {"past the last", {soc, mockup}, {socDevice, mockupDevice}, 416, -1, -1},
      {"twin elsewhere", {mockup}, {twinDevice, mockupDevice}, 397, 1, 13},
      {"inside its device", {unnamed}, {socDevice, unnamedDevice}, 397, 1, 13},
      {"label and lines only", {mockup}, {socDevice, unresolved}, 397, 1, 13},
      {"two alike, folders unknown", {mockup}, {unresolved, unresolved}, 397, -1, 13},
      {"no device", {soc, mockup}, {}, 397, -1, 13},
  };
  for (const Case& c : cases) {
    int offset = -1;
    EXPECT_EQ(c.chip, chipOfLine(c.sysfs, c.devices, c.line, &offset)) << c.name;
    EXPECT_EQ(c.offset, offset) << c.name;
  }
}

TEST(TachometerEvents, KernelReleaseBeforeAVersion) {
  EXPECT_TRUE(releaseBefore("4.4.0-210-generic", 5, 7));
  EXPECT_TRUE(releaseBefore("4.19.0", 5, 7));
  EXPECT_TRUE(releaseBefore("5.6.19", 5, 7));
  EXPECT_FALSE(releaseBefore("5.7.0", 5, 7));
  EXPECT_FALSE(releaseBefore("5.10.0-1", 5, 7));
  EXPECT_FALSE(releaseBefore("6.1.0-57-amd64", 5, 7));
  EXPECT_FALSE(releaseBefore("", 5, 7));
  EXPECT_FALSE(releaseBefore("4", 5, 7));
  EXPECT_FALSE(releaseBefore("linux", 5, 7));
}

// The first stamp is a few ms old on whichever clock stamped it.
TEST(TachometerEvents, StampClockIsTheNearerOne) {
  const int64_t mono = 1000LL * 1000000000;     // 1000 s since boot
  const int64_t real = 1796000000LL * 1000000000;  // a time of day in 2026
  EXPECT_FALSE(stampsOnRealtime(mono - 3000000, mono, real, true));
  EXPECT_TRUE(stampsOnRealtime(real - 3000000, mono, real, false));
  // A board whose time of day still counts from boot: the release tells.
  EXPECT_TRUE(stampsOnRealtime(mono - 3000000, mono, mono + 5000000000LL, true));
  EXPECT_FALSE(stampsOnRealtime(mono - 3000000, mono, mono + 5000000000LL, false));
}

// Realtime stamps less the clocks' offset; a step since the wake before
// puts the read's time in their place; never later than the read.
TEST(TachometerEvents, StampsOnTheMonotonicClock) {
  const int64_t offset = 1795000000LL * 1000000000;
  const int64_t read = 2000000000;
  EXPECT_EQ(1990000000, monotonicStamp(1990000000, false, offset, false, read));
  EXPECT_EQ(1990000000, monotonicStamp(1990000000, false, offset, true, read));
  EXPECT_EQ(1990000000, monotonicStamp(offset + 1990000000, true, offset, false, read));
  EXPECT_EQ(read, monotonicStamp(offset + 1990000000, true, offset, true, read));
  EXPECT_EQ(read, monotonicStamp(offset + 2100000000, true, offset, false, read));
  EXPECT_FALSE(clockStepped(offset, offset + 900000));
  EXPECT_FALSE(clockStepped(offset, offset - 1000000));
  EXPECT_TRUE(clockStepped(offset, offset + 1000001));
  EXPECT_TRUE(clockStepped(offset, offset - 3600LL * 1000000000));
}

TEST(TachometerEvents, SequenceGapsAreLostChanges) {
  EXPECT_EQ(0u, changesLost(0, 1));
  EXPECT_EQ(0u, changesLost(41, 42));
  EXPECT_EQ(4u, changesLost(5, 10));
  EXPECT_EQ(476u, changesLost(0, 477));
  EXPECT_EQ(0u, changesLost(0xffffffffu, 0));
  EXPECT_EQ(2u, changesLost(0xfffffffeu, 1));
}

// A window closed by its counts-th change or by the time limit ends at
// that change; one closed by a still wheel or a shutdown does not.
TEST(TachometerEvents, WindowsEndAtTheirClosingChange) {
  EXPECT_TRUE(closedByChange(5, 5, 40.0, false));
  EXPECT_TRUE(closedByChange(1, 5, 1500.0, false));
  EXPECT_FALSE(closedByChange(3, 5, 40.0, false));
  EXPECT_FALSE(closedByChange(1, 5, 500.0, true));
  EXPECT_FALSE(closedByChange(0, 0, 0.0, false));
  EXPECT_DOUBLE_EQ(12.5, changeElapsed(112.5, 100.0));
  EXPECT_DOUBLE_EQ(0.0, changeElapsed(-0.25, 0.0));
  EXPECT_TRUE(sayDue(true, -2000.0, 0.0));
  EXPECT_FALSE(sayDue(true, 500.0, 1499.0));
  EXPECT_TRUE(sayDue(true, 500.0, 1500.0));
  EXPECT_FALSE(sayDue(false, 500.0, 9000.0));
}

TEST(TachometerHealth, LevelAndMessage) {
  struct Case {
    HealthFacts facts;
    int level;
    const char* message;
  } const cases[] = {
      {{4.0, 0, 0, true, 30.0, 100.0}, kHealthOk, "measuring"},
      {{0.5, -1, 0, true, -1.0, 1500.0}, kHealthOk, "measuring"},
      // A still wheel publishes every 2 s: not stale.
      {{0.5, -1, 0, true, 9000.0, 2500.0}, kHealthOk, "measuring"},
      {{0.0, -1, 0, false, -1.0, 900.0}, kHealthWarn, "line 397 cannot be read"},
      {{3.0, 480, 476, true, 10.0, 20.0}, kHealthWarn, "476 level changes lost in the last second"},
      {{3.0, 480, 0, true, 10.0, 20.0}, kHealthOk, "measuring"},
      {{0.0, 0, 0, true, 10.0, 2000.0}, kHealthStale, "nothing published for 2.0 s while the wheel turns"},
      {{0.0, 9, 3, false, 10.0, 3500.0}, kHealthStale,
       "nothing published for 3.5 s while the wheel turns; line 397 cannot be read; "
       "3 level changes lost in the last second"},
  };
  for (const Case& c : cases) {
    std::string message = "old";
    EXPECT_EQ(c.level, healthLevel(c.facts, &message)) << c.message;
    EXPECT_EQ(c.message, message);
  }
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
