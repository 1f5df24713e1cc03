// The pin holder's console decisions, kept free of I/O so they can be
// tested directly.
#ifndef PELMORA_GPIO_HOLD_CONSOLE_WORD_H
#define PELMORA_GPIO_HOLD_CONSOLE_WORD_H

#include <string>

enum ConsoleVerdict {
  kConsoleHold,        // a non-zero integer: keep holding the line
  kConsoleRelease,     // zero: release the line and end
  kConsoleNotInteger,  // not an integer: discard it and read on
};

// Judges one blank-separated console word. An integer is an optional sign
// and decimal digits; one too large for an int is still non-zero.
ConsoleVerdict judgeConsoleWord(const std::string& word);

// The one line printed on standard error for a discarded word (without
// the newline); long words are shortened.
std::string discardedWordMessage(const std::string& word);

#endif
