// The pin holder's console reader; see console_word.h.
#include "console_word.h"

#include <stdint.h>

static bool isConsoleSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static bool isDigit(int c) { return c >= '0' && c <= '9'; }

// Reads up to the white space (or end) that ends the word c belongs to.
static void discardWord(ConsoleNext next, void* context, int c) {
  while (c != kConsoleEnd && !isConsoleSpace(c)) c = next(context);
}

ConsoleVerdict readConsoleNumber(ConsoleNext next, void* context, int* value) {
  int c = next(context);
  while (isConsoleSpace(c)) c = next(context);
  if (c == kConsoleEnd) return kConsoleEnded;
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = next(context);
  }
  if (!isDigit(c)) {
    discardWord(next, context, c);
    return kConsoleDiscarded;
  }
  // The magnitude stops growing just past the int range, so no count of
  // digits wraps round to 0 and releases the line.
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t magnitude = 0;
  while (isDigit(c)) {
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) magnitude = limit;
    c = next(context);
  }
  discardWord(next, context, c);
  *value = static_cast<int>(negative ? -magnitude : magnitude);
  return kConsoleNumber;
}
