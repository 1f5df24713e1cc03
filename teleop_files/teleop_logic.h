// The operator node's decisions, without I/O: which value each command file
// should hold, and when the deadman puts the car back to rest. The node
// (teleop_files.cpp) and its tests share them.
#pragma once

#include "bridge_logic.h"

// The neutral command: the pair the serial bridge sends at rest.
const int kRestSpeed = kNeutralThrottle;
const int kRestAngle = kNeutralSteering;

// Without a command for this long the operator is taken to be gone: five
// missed cycles of drive_command's 10 Hz.
const double kDeadmanSeconds = 0.5;

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
  bool written;  // false until a write succeeded
  int value;     // what it holds when written
};

// True when the file must be replaced to hold wanted.
bool fileNeedsWrite(const CommandFile& file, int wanted);
