// gpio_hold: exports GPIO line 397 as an input for the tachometer node and
// holds it until 0 is typed on the console (or the console ends), then
// releases it. Arguments are ignored; the exit status is always 0.
#include <stdio.h>

#include <string>

#include "console_word.h"
#include "gpio_sysfs.h"

static const int kLine = 397;
static const char kProbePath[] = "/sys/class/gpio/gpio397/value";

// Reads the next blank-separated word from standard input; false at the
// end of input.
static bool readWord(std::string* word) {
  word->clear();
  int c;
  while ((c = getchar()) != EOF && (c == ' ' || c == '\t' || c == '\n' || c == '\r' ||
                                    c == '\v' || c == '\f')) {
  }
  while (c != EOF && !(c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')) {
    word->push_back(static_cast<char>(c));
    c = getchar();
  }
  return !word->empty();
}

// Blocks on the console: holding the line is all this program does until
// the operator says stop.
static void waitForZero() {
  std::string word;
  while (readWord(&word)) {
    switch (judgeConsoleWord(word)) {
      case kConsoleRelease:
        return;
      case kConsoleNotInteger:
        fprintf(stderr, "%s\n", discardedWordMessage(word).c_str());
        break;
      case kConsoleHold:
        break;
    }
  }
  // End of input counts as 0: nobody is left to type it.
}

int main() {
  // A line left exported (by a killed run or anything else) is released
  // first, so the export below does not fail as busy.
  FILE* probe = fopen(kProbePath, "r");
  if (probe != NULL) {
    fclose(probe);
    gpioUnexport(kLine);
  }
  gpioExport(kLine);
  gpioSetDirection(kLine, 0);
  waitForZero();
  gpioUnexport(kLine);
  return 0;
}
