// Drive command node: the console protocol, fed from strings. How a number
// itself reads is the console module's table (test/console/).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console_protocol.h"
#include "text_source.h"

namespace {

// Runs console passes over text as the node's input thread does, until the
// run flag is 0, and records what each pass did.
struct Session {
  TextSource source;
  CommandInput in;
  DriveState state;
  std::vector<CommandEvent> events;
};

void run(Session* s, const std::string& text) {
  s->source.text = text;
  s->in = commandInput(nextFromText, &s->source);
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

const CommandEvent S = kSpeedSet, A = kAngleSet, R = kRunSet, M = kNumberMissing, E = kInputEnded;

struct Case {
  const char* text;
  int speed;
  int angle;
  std::vector<CommandEvent> events;
  const char* unread;  // what the next commands would read after the stop
};

// Each text is typed into a fresh node and its input then ends (or a 0
// stops it first). A blank or newline between commands selects the run
// flag; its number fails on the next letter, which becomes the command.
const Case kCases[] = {
    {"t1700\n", 1700, 90, {S, E}, ""},
    {"s45\n", 1600, 45, {A, E}, ""},
    {"t1700 s80\n", 1700, 80, {S, M, A, E}, ""},
    {"t\n\n\t 1700\n", 1700, 90, {S, E}, ""},
    {"t1700", 1700, 90, {S, E}, ""},
    // Upper case is not a command letter: its number goes to the run flag.
    {"t1650\nT1700\n", 1650, 90, {S, M, R, E}, ""},
    // "x" fails the speed and becomes a command: a 0 after it stops.
    {"tx\n0\nt1234\n", 1600, 90, {M, R}, "\nt1234\n"},
    // A sign without digits is consumed like scanf does; "s" is held.
    {"t-s5\n", 1600, 5, {M, A, E}, ""},
    {"t1700\n0\ns10\n", 1700, 90, {S, R}, "\ns10\n"},
    // At start no newline is pending: a lone first 0 is a command character.
    {"0\n0\ns10\n", 1600, 90, {R}, "\ns10\n"},
    {"0\ns10\n", 1600, 10, {M, A, E}, ""},
    // Input ending before, while or right after a number is awaited.
    {"", 1600, 90, {E}, ""},
    {"\n", 1600, 90, {E}, ""},
    {"t  \n", 1600, 90, {E}, ""},
    {"s-", 1600, 90, {M, E}, ""},
};

TEST(DriveConsole, TypedTextSetsFieldsAndStops) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    Session s;
    run(&s, c.text);
    EXPECT_EQ(c.speed, s.state.speed.load());
    EXPECT_EQ(c.angle, s.state.angle.load());
    EXPECT_EQ(c.events, s.events);
    EXPECT_EQ(0, s.state.run.load());
    EXPECT_EQ(c.unread, unread(s));
  }
}

TEST(DriveConsole, RunFlagTakesTheValueTyped) {
  DriveState state;
  initDriveState(&state);
  TextSource source{"T1700"};
  CommandInput in = commandInput(nextFromText, &source);
  EXPECT_EQ(kRunSet, consolePass(&in, &state));
  EXPECT_EQ(1700, state.run.load());
  EXPECT_EQ(1600, state.speed.load());
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

}  // namespace
