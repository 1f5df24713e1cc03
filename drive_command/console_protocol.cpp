// Console protocol of the drive command node; see console_protocol.h.
#include "console_protocol.h"

void initDriveState(DriveState* state) {
  state->speed.store(kNeutralThrottle);
  state->angle.store(kNeutralSteering);
  state->run.store(1);
}

CommandInput commandInput(ConsoleNext next, void* context) {
  CommandInput in;
  in.next = next;
  in.context = context;
  in.held = kNothingHeld;
  return in;
}

int readCommandCharacter(CommandInput* in) {
  if (in->held != kNothingHeld) {
    int c = in->held;
    in->held = kNothingHeld;
    return c;
  }
  return in->next(in->context);
}

static int nextCommandByte(void* in) { return readCommandCharacter(static_cast<CommandInput*>(in)); }

std::atomic<int>* fieldForCommand(DriveState* state, int command) {
  if (command == 't') return &state->speed;
  if (command == 's') return &state->angle;
  return &state->run;
}

CommandEvent consolePass(CommandInput* in, DriveState* state) {
  int command = readCommandCharacter(in);
  int value = 0;
  int after = command;
  ConsoleVerdict got = command < 0 ? kConsoleEnded : readDecimal(nextCommandByte, in, &value, &after);
  if (after >= 0) in->held = after;
  if (got == kConsoleEnded) {
    // A closed or broken console can give no more commands: stop, rather
    // than keep the car driving on the last values.
    state->run.store(0);
    return kInputEnded;
  }
  if (got == kConsoleNotNumber) return kNumberMissing;
  std::atomic<int>* field = fieldForCommand(state, command);
  field->store(value);
  if (field == &state->speed) return kSpeedSet;
  if (field == &state->angle) return kAngleSet;
  return kRunSet;
}
