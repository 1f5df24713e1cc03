// The pin holder's console decisions; see console_word.h.
#include "console_word.h"

// Longest part of a discarded word repeated back to the operator.
static const size_t kEchoLimit = 32;

ConsoleVerdict judgeConsoleWord(const std::string& word) {
  size_t digitsAt = 0;
  if (!word.empty() && (word[0] == '+' || word[0] == '-')) digitsAt = 1;
  if (digitsAt == word.size()) return kConsoleNotInteger;
  bool zero = true;
  for (size_t i = digitsAt; i < word.size(); ++i) {
    if (word[i] < '0' || word[i] > '9') return kConsoleNotInteger;
    if (word[i] != '0') zero = false;
  }
  // Judged by its digits, not by conversion, so no size wraps round to 0.
  return zero ? kConsoleRelease : kConsoleHold;
}

std::string discardedWordMessage(const std::string& word) {
  std::string shown = word.size() > kEchoLimit ? word.substr(0, kEchoLimit) + "..." : word;
  return "gpio_hold: not an integer, ignored: " + shown;
}
