// Unit tests of the serial bridge's pure rules: mode choice, byte
// encodings, change filter, console words and command file text.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "bridge_logic.h"

namespace {

int wordValue(const std::string& text, ConsoleVerdict* verdict) {
  ConsoleWord word;
  consoleWordReset(&word);
  for (char c : text) consoleWordAdd(&word, c);
  int value = 12345;
  *verdict = consoleWordVerdict(word, &value);
  return value;
}

bool parse(const std::string& text, int* value) {
  return parseCommandText(text.data(), text.size(), value);
}

}  // namespace

TEST(BridgeMode, OnlyExactReadSelectsTheReader) {
  const char* none[] = {"serial"};
  const char* read[] = {"serial", "read"};
  const char* readMore[] = {"serial", "read", "whatever"};
  const char* upper[] = {"serial", "READ"};
  const char* longer[] = {"serial", "reader"};
  const char* empty[] = {"serial", ""};
  EXPECT_EQ(kModeNeutral, bridgeMode(1, none));
  EXPECT_EQ(kModeReader, bridgeMode(2, read));
  EXPECT_EQ(kModeReader, bridgeMode(3, readMore));
  EXPECT_EQ(kModeWriter, bridgeMode(2, upper));
  EXPECT_EQ(kModeWriter, bridgeMode(2, longer));
  EXPECT_EQ(kModeWriter, bridgeMode(2, empty));
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

TEST(CommandFileText, ReadsLikeDecimalScanf) {
  int v = -7;
  EXPECT_TRUE(parse("1600\n", &v));
  EXPECT_EQ(1600, v);
  EXPECT_TRUE(parse("  \n\t-90", &v));
  EXPECT_EQ(-90, v);
  EXPECT_TRUE(parse("+45 degrees", &v));
  EXPECT_EQ(45, v);
  EXPECT_TRUE(parse("16x00", &v));
  EXPECT_EQ(16, v);
}

TEST(CommandFileText, NoIntegerLeavesTheValueAlone) {
  int v = 1234;
  EXPECT_FALSE(parse("", &v));
  EXPECT_FALSE(parse("   \n", &v));
  EXPECT_FALSE(parse("-", &v));
  EXPECT_FALSE(parse("+ 5", &v));
  EXPECT_FALSE(parse("abc", &v));
  EXPECT_EQ(1234, v);
}

TEST(CommandFileText, LengthBoundsTheRead) {
  int v = 0;
  const char text[] = "1600";
  EXPECT_TRUE(parseCommandText(text, 2, &v));
  EXPECT_EQ(16, v);
  EXPECT_FALSE(parseCommandText(text, 0, &v));
}

TEST(CommandFileText, HugeValuesSaturate) {
  int v = 0;
  EXPECT_TRUE(parse("99999999999999999999999", &v));
  EXPECT_EQ(INT_MAX, v);
  EXPECT_TRUE(parse("-99999999999999999999999", &v));
  EXPECT_EQ(INT_MIN, v);
  EXPECT_TRUE(parse("-2147483648", &v));
  EXPECT_EQ(INT_MIN, v);
}

TEST(ConsoleInput, IntegersAreNumbers) {
  ConsoleVerdict verdict;
  EXPECT_EQ(0, wordValue("0", &verdict));
  EXPECT_EQ(kConsoleNumber, verdict);
  EXPECT_EQ(7, wordValue("7", &verdict));
  EXPECT_EQ(kConsoleNumber, verdict);
  EXPECT_EQ(-1, wordValue("-1", &verdict));
  EXPECT_EQ(kConsoleNumber, verdict);
  EXPECT_EQ(0, wordValue("-000", &verdict));
  EXPECT_EQ(kConsoleNumber, verdict);
}

TEST(ConsoleInput, OutOfRangeIntegersNeverReadAsZero) {
  ConsoleVerdict verdict;
  // 2^32 would wrap to 0 in a plain int conversion.
  EXPECT_EQ(INT_MAX, wordValue("4294967296", &verdict));
  EXPECT_EQ(kConsoleNumber, verdict);
  EXPECT_EQ(INT_MIN, wordValue("-4294967296", &verdict));
  EXPECT_EQ(kConsoleNumber, verdict);
  EXPECT_EQ(INT_MAX, wordValue(std::string(5000, '9'), &verdict));
  EXPECT_EQ(kConsoleNumber, verdict);
}

TEST(ConsoleInput, ANumberEndsAtTheFirstOtherCharacterAsPercentDReads) {
  ConsoleVerdict verdict;
  const struct {
    const char* text;
    int value;
  } cases[] = {{"0.", 0}, {"0abc", 0}, {"0,", 0}, {"+0", 0}, {"-0", 0}, {"00", 0}, {"0.5", 0},
               {"7abc", 7}, {"1-", 1}, {"-12+3", -12}, {"99999999999x", INT_MAX}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.value, wordValue(c.text, &verdict)) << c.text;
    EXPECT_EQ(kConsoleNumber, verdict) << c.text;
  }
}

TEST(ConsoleInput, WordsThatDoNotStartWithANumberAreNotNumbers) {
  ConsoleVerdict verdict;
  for (const char* text : {"abc", "-", "+", "x7", ".0", "--1", "+-1", "stop"}) {
    wordValue(text, &verdict);
    EXPECT_EQ(kConsoleNotNumber, verdict) << text;
  }
}

TEST(ConsoleInput, WhitespaceSeparatesWords) {
  for (char c : {' ', '\t', '\n', '\r', '\v', '\f'}) EXPECT_TRUE(isConsoleSpace(c));
  for (char c : {'0', 'a', '-', '\0'}) EXPECT_FALSE(isConsoleSpace(c));
}
