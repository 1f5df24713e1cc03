// gpio_hold: exports GPIO line 397 as an input for the tachometer node and
// holds it until 0 is typed on the console (or the console ends), or until
// SIGINT, SIGTERM or SIGHUP, then releases it. The exit status is always 0.
//   gpio_hold [--no-console]    --no-console: read nothing, hold until a stop signal
// Other arguments are ignored.
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>

#include "arguments.h"
#include "car.h"
#include "console.h"
#include "gpio_paths.h"
#include "gpio_sysfs.h"
#include "stop_signals.h"

// The stop-signal handler stores into it, so it must be lock-free.
static_assert(ATOMIC_INT_LOCK_FREE == 2, "the run flag must be a lock-free atomic");

// Run flag: cleared by the stop-signal handler, which runs on the main
// thread inside its wait; read by the main thread.
static std::atomic<int> g_run(1);

static void onStopSignal(int) { g_run.store(0); }

int main(int argc, char** argv) {
  openMissingStandardStreams();
  // Caught before anything is exported: a stop that comes early waits
  // until the line is held, and then releases it.
  sigset_t waitMask;
  catchStopSignals(onStopSignal, &waitMask);
  ConsoleArguments args;
  takeConsoleArguments(&argc, argv, kNoConsoleOption, &args);

  // A line left exported (by a killed run or anything else) is released
  // first, so the export below does not fail as busy.
  char probePath[kGpioPathSize];
  FILE* probe = fopen(gpioLinePath(probePath, sizeof probePath, kSensorLine, "value"), "r");
  if (probe != NULL) {
    fclose(probe);
    gpioUnexport(kSensorLine);
  }
  gpioExport(kSensorLine);
  gpioSetDirection(kSensorLine, 0);
  if (args.noConsole) {
    // Nothing to read: holding the line is all there is until a stop signal.
    while (g_run != 0) sigsuspend(&waitMask);
  } else {
    // Blocks on the console: holding the line is all this program does until
    // the operator says stop. Text that is not a number is dropped silently.
    ConsoleSource console;
    initConsoleSource(&console, STDIN_FILENO, &waitMask, &g_run);
    while (nextRunValue(consoleByte, &console) != 0) {
    }
  }
  gpioUnexport(kSensorLine);
  return 0;
}
