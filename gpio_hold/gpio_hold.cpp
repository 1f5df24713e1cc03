// gpio_hold: exports GPIO line 397 as an input for the tachometer node and
// holds it until 0 is typed on the console (or the console ends), then
// releases it. Arguments are ignored; the exit status is always 0.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include "console_word.h"
#include "gpio_sysfs.h"

static const int kLine = 397;
static const char kProbePath[] = "/sys/class/gpio/gpio397/value";

// The next console byte, or kConsoleEnd at the end of input or on an error.
// A launcher may hand over a non-blocking console: EAGAIN means wait.
static int readStdinByte(void*) {
  unsigned char c;
  while (true) {
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd console = {STDIN_FILENO, POLLIN, 0};
      if (poll(&console, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return kConsoleEnd;
  }
}

// Blocks on the console: holding the line is all this program does until
// the operator says stop. Text that is not a number is dropped silently.
static void waitForZero() {
  int run = 1;
  while (run != 0) {
    int value = 0;
    ConsoleVerdict verdict = readConsoleNumber(readStdinByte, 0, &value);
    // End of input counts as 0: nobody is left to type it.
    if (verdict == kConsoleEnded) return;
    if (verdict == kConsoleNumber) run = value;
  }
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
