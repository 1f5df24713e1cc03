// The operator node's decisions, without I/O: which value each command file
// should hold, and when the deadman puts the car back to rest. The node
// (teleop_files.cpp) and its tests share them.
#pragma once

// The neutral command and the command files' names and folder.
#include "car.h"

// Without a command for this long the operator is taken to be gone: five
// missed cycles of drive_command's 10 Hz.
const double kDeadmanSeconds = 0.5;

// While commands arrive each file is written again at least this often,
// even unchanged, so a writer with a freshness bound (500 ms on the car)
// sees a live operator; under 100 ms, so a late pass keeps to that.
const double kRefreshSeconds = 0.09;

struct TeleopState {
  int speed;             // what throttle.txt should hold
  int angle;             // what steering.txt should hold
  double lastCommandAt;  // monotonic seconds of the latest command
  bool driving;          // a command came and the deadman has not fired since
};

// At rest, no operator heard yet.
void teleopStart(TeleopState* state);

// A command arrived at now: it is what the files should hold.
void teleopCommand(TeleopState* state, int speed, int angle, double now);

// True once, when the operator has been silent for kDeadmanSeconds: the
// files should then hold the neutral command until the next command.
bool teleopDeadman(TeleopState* state, double now);

// The node ends: the files should hold the neutral command.
void teleopStop(TeleopState* state);

// One command file as the node last wrote it.
struct CommandFile {
  bool written;      // false until a write succeeded
  int value;         // what it holds when written
  double writtenAt;  // monotonic seconds of that write
};

// True when the file must be replaced to hold wanted at now: its value
// differs, or commands arrive (state.driving) and its last write is
// kRefreshSeconds old.
bool fileNeedsWrite(const CommandFile& file, int wanted, const TeleopState& state, double now);
