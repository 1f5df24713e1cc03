// The drive command node's console protocol: one command character, read
// as is, then one decimal integer, read the way "%d" reads it, stored in the
// field that the character selects. Pure logic over a character source, so
// the node and its tests share it.
#pragma once

#include <atomic>

// The record that the console thread writes and the publishing loop reads.
struct DriveState {
  std::atomic<int> speed;  // throttle command, 1600 is neutral
  std::atomic<int> angle;  // steering command, 90 is centred
  std::atomic<int> run;    // both loops go on while it is non-zero
};

const int kNeutralSpeed = 1600;
const int kCentredAngle = 90;

// Where console characters come from. next() returns the next byte
// (0..255), or kEndOfInput at the end of input or on a read error.
const int kEndOfInput = -1;
const int kNothingHeld = -2;
struct ConsoleInput {
  int (*next)(void* context);
  void* context;
  int held;  // a character read but left for the next reader, or kNothingHeld
};

// What one console pass did.
enum ConsoleEvent {
  kSpeedSet,      // "t" and a number
  kAngleSet,      // "s" and a number
  kRunSet,        // any other character and a number
  kNumberMissing, // no digits: the field keeps its value, the character is held
  kInputEnded     // end of input or a read error: run is now 0
};

enum NumberRead { kNumberStored, kNotANumber, kNumberEnded };

// Neutral speed, centred angle, running.
void initDriveState(DriveState* state);

// A source over fn(context), holding nothing yet.
ConsoleInput consoleInput(int (*next)(void* context), void* context);

// The next character, white space included ("%c"); kEndOfInput at the end.
int readCommandCharacter(ConsoleInput* in);

// Reads a decimal integer as "%d" does: leading white space skipped, an
// optional sign, then digits. The character that ends the number is held
// for the next read. Values beyond 32 bits saturate to the nearer end.
// kNotANumber when no digit came (the failing character is held);
// kNumberEnded when input ended before a digit.
NumberRead readDecimal(ConsoleInput* in, int* value);

// The field that a command character selects: "t" speed, "s" angle,
// anything else run.
std::atomic<int>* fieldForCommand(DriveState* state, int command);

// One console pass: a command character, then its number. Every pass
// consumes at least one character or ends the input, so a loop of passes
// never spins.
ConsoleEvent consolePass(ConsoleInput* in, DriveState* state);
