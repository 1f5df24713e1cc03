// Pure rules of the serial bridge; see bridge_logic.h.
#include "bridge_logic.h"

#include <cstring>

BridgeMode bridgeMode(int argc, const char* const* argv) {
  if (argc < 2) return kModeNeutral;
  if (std::strcmp(argv[1], "read") == 0) return kModeReader;
  return std::strcmp(argv[1], "--watch") == 0 ? kModeWatchingWriter : kModeWriter;
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
