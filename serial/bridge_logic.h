// Pure rules of the serial bridge: mode choice, command byte encodings, the
// change filter and the freshness bound. No I/O, so the bridge and its unit
// tests share them.
#ifndef PELMORA_SERIAL_BRIDGE_LOGIC_H
#define PELMORA_SERIAL_BRIDGE_LOGIC_H

// The neutral command and the command files' names.
#include "car.h"

enum BridgeMode { kModeNeutral, kModeReader, kModeWriter, kModeWatchingWriter };

// The mode chosen by the mode word (the first argument that is no option):
// none (NULL), exactly "read", exactly "--watch" (the writer that sleeps
// until a command file changes), or any other.
BridgeMode bridgeMode(const char* word);

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

// What the writer sees of a command file. Any change is a write: in place,
// or another file renamed over it.
struct FileStamp {
  bool present;
  unsigned long long inode;
  long long modifiedNs;
  long long changedNs;
  long long size;
};

// The freshness bound between the writer's passes.
struct Freshness {
  FileStamp seen[2];  // throttle and steering file as last seen
  bool looked;        // seen holds a look
  bool stale;         // no write within the bound: the neutral command holds
  double writtenAt;   // monotonic ms of the latest write seen
};

enum FreshVerdict {
  kFreshForward,  // forward the files' pair as usual
  kFreshResume,   // written after a stale spell: send the files' pair even if unchanged
  kFreshGoStale,  // nothing written for the bound: send the neutral pair once, and say so
  kFreshHold,     // still stale: forward nothing
};

// A writer that starts with the bound counts the files as stale until it
// sees one written: a command it has not seen written is never forwarded.
void startFreshness(Freshness* f);

// One pass's look at both files (stamps), at nowMs on the monotonic clock.
// A file that goes missing is no write; one that appears is.
FreshVerdict freshness(Freshness* f, const FileStamp stamps[2], double nowMs, int staleMs);

#endif
