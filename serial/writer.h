// The command writer's passes, shared by its two loops: swrite's, which
// passes without pause, and swatch's, which sleeps between passes until a
// command file changes.
#ifndef PELMORA_SERIAL_WRITER_H
#define PELMORA_SERIAL_WRITER_H

#include <atomic>

#include "bridge_logic.h"
#include "line.h"

// The command files' folder of this build, relative to the bridge's
// working folder.
const char* const kCommandFolder = SERIAL_RAW ? kSerialRawCommandFolder : kSerialCommandFolder;

// What the writer keeps from one pass to the next; only the writer thread
// uses it.
struct Writer {
  DriveLine line;
  bool lossReported;  // the current outage of the line has been reported
  bool stalled;       // the open line takes no bytes: nothing new is queued on it until it does
  double nextOpen;    // monotonic ms of the next try at a missing line
  double nextCheck;   // monotonic ms of the next look for a hung-up line
  int throttle;       // the values the command files last gave
  int steering;
  bool haveThrottle;  // each file has given a value at least once
  bool haveSteering;
  unsigned char lastThrottle;  // the pair last sent, for the change filter
  unsigned char lastSteering;
  bool resend;  // a reopened line gets the current pair even if unchanged
  PortResult said;  // why the line last could not be taken, as said; kPortOpen: nothing said
  Freshness freshness;  // the freshness bound, when there is one
};

// Sets the freshness bound (0: none) before the writer starts.
void setStaleBound(int ms);

// How often passes come while no working line paces them (missing or
// stalled).
const int kIdlePassMs = 10;

// Opens the drive line and sends the neutral command; a missing line is
// reported by open_port and tried again later.
void startWriting(Writer* w, const std::atomic<int>* run);
// One pass's care of the line.
void tendLine(Writer* w);
// True while no working line paces the passes: missing, or stalled.
bool lineIdle(const Writer& w);
// Reads the command files, unless the freshness bound holds their pair
// back (then false).
bool readCommands(Writer* w);
// Sends the pair last read when it is due.
void sendCommands(Writer* w);
// Leaves the line with the neutral command and closes it.
void leaveLine(Writer* w);

#endif
