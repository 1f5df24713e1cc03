// Pure rules of the serial bridge: mode choice, command byte encodings and
// the change filter. No I/O, so the bridge and its unit tests share them.
#ifndef PELMORA_SERIAL_BRIDGE_LOGIC_H
#define PELMORA_SERIAL_BRIDGE_LOGIC_H

const int kNeutralThrottle = 1600;
const int kNeutralSteering = 90;

// The command files, as the writer reads them and an operator program
// writes them, in the writer's command folder.
const char* const kThrottleName = "throttle.txt";
const char* const kSteeringName = "steering.txt";

enum BridgeMode { kModeNeutral, kModeReader, kModeWriter, kModeWatchingWriter };

// The mode chosen by the first argument: none, exactly "read", exactly
// "--watch" (the writer that sleeps until a command file changes), or any
// other.
BridgeMode bridgeMode(int argc, const char* const* argv);

// Low 8 bits of (throttle - 1000) / 10, truncating toward zero; wraps.
unsigned char throttleByte(int throttle);

// Low 8 bits of -steering when negate, else of steering itself.
unsigned char steeringByte(int steering, bool negate);

// The throttle a throttle byte stands for, as echoed on the console.
int echoedThrottle(unsigned char throttle);

// True when a pass has to send the pair: always without the change filter,
// otherwise only when it differs from the last pair sent.
bool pairToSend(bool changeFilter, unsigned char throttle, unsigned char steering,
                unsigned char lastThrottle, unsigned char lastSteering);

// True once both command files have given a value at least once.
bool commandsKnown(bool haveThrottle, bool haveSteering);

#endif
