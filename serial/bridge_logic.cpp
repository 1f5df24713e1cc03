// Pure rules of the serial bridge; see bridge_logic.h.
#include "bridge_logic.h"

#include <climits>
#include <cstring>

namespace {

const unsigned long long kSaturated = static_cast<unsigned long long>(INT_MAX) + 2;

unsigned long long addDigit(unsigned long long magnitude, char c) {
  unsigned long long next = magnitude * 10 + static_cast<unsigned long long>(c - '0');
  return next > kSaturated ? kSaturated : next;
}

int clampToInt(int sign, unsigned long long magnitude) {
  long long v = sign < 0 ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

BridgeMode bridgeMode(int argc, const char* const* argv) {
  if (argc < 2) return kModeNeutral;
  return std::strcmp(argv[1], "read") == 0 ? kModeReader : kModeWriter;
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

bool parseCommandText(const char* text, size_t length, int* value) {
  size_t i = 0;
  while (i < length && isConsoleSpace(text[i])) ++i;
  int sign = 1;
  if (i < length && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') sign = -1;
    ++i;
  }
  unsigned long long magnitude = 0;
  size_t digits = 0;
  while (i < length && isDigit(text[i])) {
    magnitude = addDigit(magnitude, text[i]);
    ++i;
    ++digits;
  }
  if (digits == 0) return false;
  *value = clampToInt(sign, magnitude);
  return true;
}

bool isConsoleSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

void consoleWordReset(ConsoleWord* word) {
  word->sign = 1;
  word->digits = 0;
  word->ended = false;
  word->magnitude = 0;
  word->length = 0;
}

void consoleWordAdd(ConsoleWord* word, char c) {
  bool first = word->length == 0;
  if (word->length < INT_MAX) ++word->length;
  if (word->ended) return;
  if (first && (c == '+' || c == '-')) {
    word->sign = c == '-' ? -1 : 1;
  } else if (isDigit(c)) {
    word->magnitude = addDigit(word->magnitude, c);
    if (word->digits < INT_MAX) ++word->digits;
  } else {
    word->ended = true;
  }
}

ConsoleVerdict consoleWordVerdict(const ConsoleWord& word, int* value) {
  if (word.digits == 0) return kConsoleNotNumber;
  *value = clampToInt(word.sign, word.magnitude);
  return kConsoleNumber;
}
