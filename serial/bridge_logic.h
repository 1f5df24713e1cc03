// Pure rules of the serial bridge: mode choice, command byte encodings, the
// change filter, console input decisions and command file parsing. No I/O,
// so the bridge and its unit tests share them.
#ifndef PELMORA_SERIAL_BRIDGE_LOGIC_H
#define PELMORA_SERIAL_BRIDGE_LOGIC_H

#include <stddef.h>

const int kNeutralThrottle = 1600;
const int kNeutralSteering = 90;

enum BridgeMode { kModeNeutral, kModeReader, kModeWriter };

// The mode chosen by the first argument: none, exactly "read", or any other.
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

// Reads a decimal integer the way "%d" does from the start of text (leading
// white space, optional sign, digits; the rest is ignored). Values beyond
// the int range saturate. False when no integer is there.
bool parseCommandText(const char* text, size_t length, int* value);

// One whitespace-separated word of console input, fed a character at a time
// so that a word of any length needs no buffer. It is read as "%d" reads:
// optional sign, then digits; the number ends at the first other character
// and the rest of the word is dropped ("0." and "0abc" are 0).
struct ConsoleWord {
  int sign;                 // +1 or -1
  int digits;               // digits seen so far
  bool ended;               // the number (or the lack of one) is settled
  unsigned long long magnitude;  // saturates just beyond the int range
  int length;               // characters seen so far
};

enum ConsoleVerdict { kConsoleNumber, kConsoleNotNumber };

bool isConsoleSpace(char c);
void consoleWordReset(ConsoleWord* word);
void consoleWordAdd(ConsoleWord* word, char c);
// A complete word starts with an integer or not; integers beyond the int
// range saturate, so they never read as 0.
ConsoleVerdict consoleWordVerdict(const ConsoleWord& word, int* value);

#endif
