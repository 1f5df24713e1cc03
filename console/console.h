// The console rule the bridge, gpio_hold and drive_command share: a number
// is read as "%d" reads it (leading white space, an optional sign, digits,
// saturating at the int range), from standard input or from a text.
#ifndef PELMORA_CONSOLE_H
#define PELMORA_CONSOLE_H

#include <signal.h>
#include <stddef.h>

#include <atomic>

// A byte source: next(context) gives the next byte (0..255), or a negative
// value once no more will come.
typedef int (*ConsoleNext)(void* context);
const int kConsoleEnd = -1;      // end of input, or a read error
const int kConsoleStopped = -2;  // the run flag went to 0 while waiting

enum ConsoleVerdict {
  kConsoleNumber,     // a number was stored
  kConsoleNotNumber,  // no digit came; nothing was stored
  kConsoleEnded,      // the source ended with nothing but white space read
};

// One "%d" conversion: white space skipped, an optional sign, then digits
// (all of them consumed, the value saturating at the int range). *after is
// the byte read that is not part of the number: the one that ended it, the
// one that was no digit, or a negative value at the end of the source.
ConsoleVerdict readDecimal(ConsoleNext next, void* context, int* value, int* after);

// The next console word read as "%d" reads it: the number at its start, the
// rest of the word dropped ("7abc" is 7, "7-0" no second number); a word
// that does not start with a number is dropped whole. Every call consumes
// at least one byte or finds the end.
ConsoleVerdict readConsoleNumber(ConsoleNext next, void* context, int* value);

// What a run flag reader stores next: the next number typed, words that
// are not numbers skipped, and 0 once the input has ended (nobody is left
// to type it).
int nextRunValue(ConsoleNext next, void* context);

// Standard input (or any descriptor) as a byte source, read in blocks.
struct ConsoleSource {
  int fd;
  // Signals let through while waiting for input, for a program that blocks
  // them elsewhere; NULL to wait in a plain blocking read.
  const sigset_t* waitMask;
  // When given, a wait ends with kConsoleStopped once it reads 0.
  const std::atomic<int>* run;
  unsigned char buf[4096];
  size_t length;
  size_t next;
};

void initConsoleSource(ConsoleSource* source, int fd, const sigset_t* waitMask, const std::atomic<int>* run);

// ConsoleNext over a ConsoleSource. A non-blocking descriptor (some
// launchers hand one over) is waited on, not taken for the end of input.
int consoleByte(void* source);

// Opens /dev/null in place of each standard stream the program was started
// without (a launcher may close them), so the first file or line the
// program opens cannot become its console or its output. Called first
// thing in main, before anything is opened.
void openMissingStandardStreams();

#endif
