// Drive command node: the console protocol, fed from strings.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "console_protocol.h"

namespace {

struct TextSource {
  std::string text;
  size_t at = 0;
};

int nextFromText(void* context) {
  TextSource* source = static_cast<TextSource*>(context);
  if (source->at >= source->text.size()) return kEndOfInput;
  return static_cast<unsigned char>(source->text[source->at++]);
}

// Runs console passes over text as the node's input thread does, until the
// run flag is 0, and records what each pass did.
struct Session {
  TextSource source;
  ConsoleInput in;
  DriveState state;
  std::vector<ConsoleEvent> events;
};

void run(Session* s, const std::string& text) {
  s->source.text = text;
  s->in = consoleInput(nextFromText, &s->source);
  initDriveState(&s->state);
  while (s->state.run.load() != 0 && s->events.size() < 10 * text.size() + 10) {
    s->events.push_back(consolePass(&s->in, &s->state));
  }
}

// What the next commands would read: the held character, then the rest.
std::string unread(const Session& s) {
  std::string rest = s.source.text.substr(s.source.at);
  return s.in.held >= 0 ? static_cast<char>(s.in.held) + rest : rest;
}

TEST(DriveConsole, StartsNeutralAndRunning) {
  DriveState state;
  initDriveState(&state);
  EXPECT_EQ(1600, state.speed.load());
  EXPECT_EQ(90, state.angle.load());
  EXPECT_NE(0, state.run.load());
}

TEST(DriveConsole, SpeedThenAngleEachKeepTheOtherField) {
  Session s;
  run(&s, "t1700\n");
  EXPECT_EQ(1700, s.state.speed.load());
  EXPECT_EQ(90, s.state.angle.load());

  Session a;
  run(&a, "s45\n");
  EXPECT_EQ(1600, a.state.speed.load());
  EXPECT_EQ(45, a.state.angle.load());
}

TEST(DriveConsole, BlankBeforeNumberIsSkipped) {
  Session s;
  run(&s, "t 1700\n");
  EXPECT_EQ(1700, s.state.speed.load());
  EXPECT_EQ((std::vector<ConsoleEvent>{kSpeedSet, kInputEnded}), s.events);
}

// The blank between the commands selects the run flag; its number fails on
// the "s", which is then read as the next command.
TEST(DriveConsole, TwoCommandsOnOneLine) {
  Session s;
  run(&s, "t1700 s80\n");
  EXPECT_EQ(1700, s.state.speed.load());
  EXPECT_EQ(80, s.state.angle.load());
  EXPECT_EQ((std::vector<ConsoleEvent>{kSpeedSet, kNumberMissing, kAngleSet, kInputEnded}), s.events);
}

TEST(DriveConsole, NumberMayComeOnALaterLine) {
  Session s;
  run(&s, "t\n\n\t 1700\n");
  EXPECT_EQ(1700, s.state.speed.load());
  EXPECT_EQ(kSpeedSet, s.events.front());
}

TEST(DriveConsole, SignedValuesWithoutRangeLimit) {
  Session s;
  run(&s, "s-30\nt+1750\nt-5\n");
  EXPECT_EQ(-30, s.state.angle.load());
  EXPECT_EQ(-5, s.state.speed.load());

  Session wide;
  run(&wide, "t2147483647\ns-2147483648\n");
  EXPECT_EQ(INT_MAX, wide.state.speed.load());
  EXPECT_EQ(INT_MIN, wide.state.angle.load());
}

TEST(DriveConsole, BeyondThirtyTwoBitsSaturates) {
  Session s;
  run(&s, "t2147483648\ns-2147483649\n");
  EXPECT_EQ(INT_MAX, s.state.speed.load());
  EXPECT_EQ(INT_MIN, s.state.angle.load());

  // The whole number is consumed: nothing of it is left as a command.
  Session huge;
  run(&huge, "t99999999999999999999999999s7\n");
  EXPECT_EQ(INT_MAX, huge.state.speed.load());
  EXPECT_EQ(7, huge.state.angle.load());
  EXPECT_EQ((std::vector<ConsoleEvent>{kSpeedSet, kAngleSet, kInputEnded}), huge.events);
}

TEST(DriveConsole, UpperCaseLetterSetsRunFlagNotSpeed) {
  Session s;
  run(&s, "t1650\nT1700\n");
  EXPECT_EQ(1650, s.state.speed.load());
  // "\n" awaits a number, fails on "T"; "T" then takes 1700 as run flag.
  EXPECT_EQ((std::vector<ConsoleEvent>{kSpeedSet, kNumberMissing, kRunSet, kInputEnded}), s.events);
}

TEST(DriveConsole, RunFlagTakesTheValueTyped) {
  DriveState state;
  initDriveState(&state);
  TextSource source;
  source.text = "T1700";
  ConsoleInput in = consoleInput(nextFromText, &source);
  EXPECT_EQ(kRunSet, consolePass(&in, &state));
  EXPECT_EQ(1700, state.run.load());
  EXPECT_EQ(1600, state.speed.load());
}

// "x" fails the speed number and becomes the next command: its number goes
// to the run flag, so a following 0 stops.
TEST(DriveConsole, LetterInsteadOfNumberLeavesFieldAndBecomesCommand) {
  Session s;
  run(&s, "tx\n0\nt1234\n");
  EXPECT_EQ(1600, s.state.speed.load());
  EXPECT_EQ(0, s.state.run.load());
  EXPECT_EQ((std::vector<ConsoleEvent>{kNumberMissing, kRunSet}), s.events);
  EXPECT_EQ("\nt1234\n", unread(s));
}

TEST(DriveConsole, SignWithoutDigitsIsConsumedAndTheNextCharacterHeld) {
  Session s;
  run(&s, "t-s5\n");
  EXPECT_EQ(1600, s.state.speed.load());
  EXPECT_EQ(5, s.state.angle.load());
  EXPECT_EQ((std::vector<ConsoleEvent>{kNumberMissing, kAngleSet, kInputEnded}), s.events);
}

TEST(DriveConsole, ZeroAfterACommandLineStops) {
  Session s;
  run(&s, "t1700\n0\ns10\n");
  EXPECT_EQ(0, s.state.run.load());
  EXPECT_EQ((std::vector<ConsoleEvent>{kSpeedSet, kRunSet}), s.events);
  EXPECT_EQ(90, s.state.angle.load());
  EXPECT_EQ("\ns10\n", unread(s));
}

// At start no newline is pending: the first "0" is a command character.
TEST(DriveConsole, LoneFirstZeroDoesNotStopButASecondDoes) {
  Session s;
  run(&s, "0\n0\ns10\n");
  EXPECT_EQ((std::vector<ConsoleEvent>{kRunSet}), s.events);
  EXPECT_EQ("\ns10\n", unread(s));

  Session keeps;
  run(&keeps, "0\ns10\n");
  EXPECT_EQ(10, keeps.state.angle.load());
  EXPECT_EQ((std::vector<ConsoleEvent>{kNumberMissing, kAngleSet, kInputEnded}), keeps.events);
}

TEST(DriveConsole, EndOfInputStops) {
  Session empty;
  run(&empty, "");
  EXPECT_EQ((std::vector<ConsoleEvent>{kInputEnded}), empty.events);
  EXPECT_EQ(0, empty.state.run.load());

  // Input ending while a number is awaited, or right after a sign.
  for (const char* text : {"t", "t  \n", "s-", "\n"}) {
    Session s;
    run(&s, text);
    EXPECT_EQ(kInputEnded, s.events.back()) << text;
    EXPECT_EQ(0, s.state.run.load()) << text;
    EXPECT_EQ(1600, s.state.speed.load()) << text;
  }

  // A number cut short by the end is still stored.
  Session cut;
  run(&cut, "t1700");
  EXPECT_EQ(1700, cut.state.speed.load());
  EXPECT_EQ((std::vector<ConsoleEvent>{kSpeedSet, kInputEnded}), cut.events);
}

// No pass may leave the input where it found it: garbage of any kind is
// worked through in at most one pass per character.
TEST(DriveConsole, EveryPassConsumesInput) {
  std::string garbage;
  for (int c = 1; c < 256; ++c) {
    if (c >= '0' && c <= '9') continue;
    garbage += static_cast<char>(c);
    garbage += static_cast<char>(c);
  }
  Session s;
  run(&s, garbage);
  EXPECT_EQ(kInputEnded, s.events.back());
  EXPECT_LE(s.events.size(), garbage.size() + 1);
  EXPECT_EQ(1600, s.state.speed.load());
  EXPECT_EQ(90, s.state.angle.load());
}

TEST(DriveConsole, ReadDecimalHoldsTheCharacterThatEndsIt) {
  TextSource source;
  source.text = "  \n-42x";
  ConsoleInput in = consoleInput(nextFromText, &source);
  int value = 0;
  EXPECT_EQ(kNumberStored, readDecimal(&in, &value));
  EXPECT_EQ(-42, value);
  EXPECT_EQ('x', readCommandCharacter(&in));
  EXPECT_EQ(kNumberEnded, readDecimal(&in, &value));
  EXPECT_EQ(-42, value);
}

}  // namespace
