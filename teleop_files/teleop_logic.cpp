// The operator node's decisions; see teleop_logic.h.
#include "teleop_logic.h"

void teleopStart(TeleopState* state) {
  state->speed = kNeutralThrottle;
  state->angle = kNeutralSteering;
  state->lastCommandAt = 0;
  state->driving = false;
}

void teleopCommand(TeleopState* state, int speed, int angle, double now) {
  state->speed = speed;
  state->angle = angle;
  state->lastCommandAt = now;
  state->driving = true;
}

bool teleopDeadman(TeleopState* state, double now) {
  if (!state->driving || now - state->lastCommandAt < kDeadmanSeconds) return false;
  state->speed = kNeutralThrottle;
  state->angle = kNeutralSteering;
  state->driving = false;
  return true;
}

void teleopStop(TeleopState* state) {
  state->speed = kNeutralThrottle;
  state->angle = kNeutralSteering;
  state->driving = false;
}

bool fileNeedsWrite(const CommandFile& file, int wanted, const TeleopState& state, double now) {
  if (!file.written || file.value != wanted) return true;
  return state.driving && now - file.writtenAt >= kRefreshSeconds;
}
