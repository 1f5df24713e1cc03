// The pin holder's console reader, kept free of I/O so it can be tested
// directly: integers read the way "%d" reads them, one per word.
#ifndef PELMORA_GPIO_HOLD_CONSOLE_WORD_H
#define PELMORA_GPIO_HOLD_CONSOLE_WORD_H

// Where console bytes come from: next(context) returns the next byte
// (0..255), or kConsoleEnd at the end of input or on a read error.
const int kConsoleEnd = -1;
typedef int (*ConsoleNext)(void* context);

enum ConsoleVerdict {
  kConsoleNumber,     // a number was stored; the rest of its word is gone
  kConsoleDiscarded,  // a word that does not start with a number, gone whole
  kConsoleEnded,      // the input ended before a number began
};

// Reads the next console word. A number is leading white space, an optional
// sign and digits, saturating at the int range; it ends at the first other
// character, and the rest of that word is discarded, not read as a next
// number. Every call consumes at least one byte or ends the input.
ConsoleVerdict readConsoleNumber(ConsoleNext next, void* context, int* value);

#endif
