// gpio_hold: exports GPIO line 397 as an input for the tachometer node and
// holds it until 0 is typed on the console (or the console ends), then
// releases it. Arguments are ignored; the exit status is always 0.
#include <stdio.h>
#include <unistd.h>

#include "console.h"
#include "gpio_sysfs.h"

static const int kLine = 397;
static const char kProbePath[] = "/sys/class/gpio/gpio397/value";

int main() {
  openMissingStandardStreams();
  // A line left exported (by a killed run or anything else) is released
  // first, so the export below does not fail as busy.
  FILE* probe = fopen(kProbePath, "r");
  if (probe != NULL) {
    fclose(probe);
    gpioUnexport(kLine);
  }
  gpioExport(kLine);
  gpioSetDirection(kLine, 0);
  // Blocks on the console: holding the line is all this program does until
  // the operator says stop. Text that is not a number is dropped silently.
  ConsoleSource console;
  initConsoleSource(&console, STDIN_FILENO, NULL, NULL);
  while (nextRunValue(consoleByte, &console) != 0) {
  }
  gpioUnexport(kLine);
  return 0;
}
