// Console protocol of the drive command node; see console_protocol.h.
#include "console_protocol.h"

#include <stdint.h>

void initDriveState(DriveState* state) {
  state->speed.store(kNeutralSpeed);
  state->angle.store(kCentredAngle);
  state->run.store(1);
}

ConsoleInput consoleInput(int (*next)(void* context), void* context) {
  ConsoleInput in;
  in.next = next;
  in.context = context;
  in.held = kNothingHeld;
  return in;
}

int readCommandCharacter(ConsoleInput* in) {
  if (in->held != kNothingHeld) {
    int c = in->held;
    in->held = kNothingHeld;
    return c;
  }
  return in->next(in->context);
}

static bool isBlank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool isDigit(int c) { return c >= '0' && c <= '9'; }

NumberRead readDecimal(ConsoleInput* in, int* value) {
  int c = readCommandCharacter(in);
  while (isBlank(c)) c = readCommandCharacter(in);
  if (c == kEndOfInput) return kNumberEnded;
  bool negative = false;
  if (c == '+' || c == '-') {
    // Like scanf, the sign is consumed even when no digit follows.
    negative = c == '-';
    c = readCommandCharacter(in);
    if (c == kEndOfInput) return kNumberEnded;
  }
  if (!isDigit(c)) {
    in->held = c;
    return kNotANumber;
  }
  // The magnitude stops growing just past the 32-bit range, so a long
  // string of digits is consumed whole and saturates instead of wrapping.
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t magnitude = 0;
  while (isDigit(c)) {
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) magnitude = limit;
    c = readCommandCharacter(in);
  }
  if (c != kEndOfInput) in->held = c;
  *value = static_cast<int>(negative ? -magnitude : magnitude);
  return kNumberStored;
}

std::atomic<int>* fieldForCommand(DriveState* state, int command) {
  if (command == 't') return &state->speed;
  if (command == 's') return &state->angle;
  return &state->run;
}

ConsoleEvent consolePass(ConsoleInput* in, DriveState* state) {
  int command = readCommandCharacter(in);
  int value = 0;
  NumberRead got = command == kEndOfInput ? kNumberEnded : readDecimal(in, &value);
  if (got == kNumberEnded) {
    // A closed or broken console can give no more commands: stop, rather
    // than keep the car driving on the last values.
    state->run.store(0);
    return kInputEnded;
  }
  if (got == kNotANumber) return kNumberMissing;
  std::atomic<int>* field = fieldForCommand(state, command);
  field->store(value);
  if (field == &state->speed) return kSpeedSet;
  if (field == &state->angle) return kAngleSet;
  return kRunSet;
}
