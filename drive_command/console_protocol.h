// The drive command node's console protocol: one command character, read
// as is, then one number read as "%d" reads it (console.h), stored in the
// field that the character selects. Pure logic over a byte source, so the
// node and its tests share it.
#pragma once

#include <atomic>

#include "car.h"
#include "console.h"

// The record that the console thread writes and the publishing loop reads.
struct DriveState {
  std::atomic<int> speed;  // throttle command, from kNeutralThrottle
  std::atomic<int> angle;  // steering command, from kNeutralSteering
  std::atomic<int> run;    // both loops go on while it is non-zero
};

// The console as the protocol reads it: the byte that ended (or failed) a
// number is held and read again as the next command character.
const int kNothingHeld = -1;
struct CommandInput {
  ConsoleNext next;
  void* context;
  int held;  // a byte read but left for the next read, or kNothingHeld
};

// What one console pass did.
enum CommandEvent {
  kSpeedSet,       // "t" and a number
  kAngleSet,       // "s" and a number
  kRunSet,         // any other character and a number
  kNumberMissing,  // no digits: the field keeps its value, the byte is held
  kInputEnded      // end of input or a read error: run is now 0
};

// Neutral speed, centred angle, running.
void initDriveState(DriveState* state);

// Input over next(context), holding nothing yet.
CommandInput commandInput(ConsoleNext next, void* context);

// The next character, white space included ("%c"); negative at the end.
int readCommandCharacter(CommandInput* in);

// The field that a command character selects: "t" speed, "s" angle,
// anything else run.
std::atomic<int>* fieldForCommand(DriveState* state, int command);

// One console pass: a command character, then its number. Every pass
// consumes at least one character or ends the input, so a loop of passes
// never spins.
CommandEvent consolePass(CommandInput* in, DriveState* state);
