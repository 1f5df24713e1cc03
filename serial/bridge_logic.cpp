// Pure rules of the serial bridge; see bridge_logic.h.
#include "bridge_logic.h"

#include <cstddef>
#include <cstring>

BridgeMode bridgeMode(const char* word) {
  if (word == NULL) return kModeNeutral;
  if (std::strcmp(word, "read") == 0) return kModeReader;
  return std::strcmp(word, "--watch") == 0 ? kModeWatchingWriter : kModeWriter;
}

unsigned char throttleByte(int throttle) {
  // 64-bit so that the subtraction cannot overflow near INT_MIN; C++11
  // division truncates toward zero.
  long long scaled = (static_cast<long long>(throttle) - 1000) / 10;
  return static_cast<unsigned char>(static_cast<unsigned long long>(scaled) & 0xFF);
}

unsigned char steeringByte(int steering, bool negate) {
  unsigned int bits = static_cast<unsigned int>(steering);
  if (negate) bits = 0u - bits;
  return static_cast<unsigned char>(bits & 0xFF);
}

int echoedThrottle(unsigned char throttle) { return static_cast<int>(throttle) * 10 + 1000; }

bool pairToSend(bool changeFilter, unsigned char throttle, unsigned char steering,
                unsigned char lastThrottle, unsigned char lastSteering) {
  if (!changeFilter) return true;
  return throttle != lastThrottle || steering != lastSteering;
}

bool commandsKnown(bool haveThrottle, bool haveSteering) { return haveThrottle && haveSteering; }

void startFreshness(Freshness* f) {
  f->looked = false;
  f->stale = true;
  f->writtenAt = 0;
}

static bool sameStamp(const FileStamp& a, const FileStamp& b) {
  return a.present == b.present && a.inode == b.inode && a.modifiedNs == b.modifiedNs &&
         a.changedNs == b.changedNs && a.size == b.size;
}

FreshVerdict freshness(Freshness* f, const FileStamp stamps[2], double nowMs, int staleMs) {
  bool written = false;
  for (int i = 0; i < 2; ++i) {
    if (f->looked && stamps[i].present && !sameStamp(stamps[i], f->seen[i])) written = true;
    f->seen[i] = stamps[i];
  }
  f->looked = true;
  if (written) {
    f->writtenAt = nowMs;
    if (!f->stale) return kFreshForward;
    f->stale = false;
    return kFreshResume;
  }
  if (f->stale) return kFreshHold;
  if (nowMs - f->writtenAt < staleMs) return kFreshForward;
  f->stale = true;
  return kFreshGoStale;
}
