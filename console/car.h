// The car's wiring and commands, as every program sees them: the wheel
// sensor's GPIO line, the two controllers' serial devices, the neutral
// command and the command files an operator program leaves for the bridge.
#ifndef PELMORA_CONSOLE_CAR_H
#define PELMORA_CONSOLE_CAR_H

// The wheel sensor's GPIO line.
const int kSensorLine = 397;

// The drive controller takes command bytes on the first; the tachometer
// controller sends its bytes on the second.
const char* const kDrivePort = "/dev/ttyACM0";
const char* const kTachometerPort = "/dev/ttyACM1";

// The neutral command: the car at rest, wheels straight.
const int kNeutralThrottle = 1600;
const int kNeutralSteering = 90;

// The command files' folder, relative to the bridge's working folder:
// `serial`'s, and `serial_raw`'s.
const char* const kSerialCommandFolder = "../teleop";
const char* const kSerialRawCommandFolder = "../py/teleOp";

// The command files in that folder, one integer each.
const char* const kThrottleName = "throttle.txt";
const char* const kSteeringName = "steering.txt";

#endif
