// Serial bridge between the board and the car's two USB controllers.
//   serial            send the neutral command to /dev/ttyACM0 once
//   serial read       print the tachometer bytes arriving on /dev/ttyACM1
//   serial <other>    forward the command files to /dev/ttyACM0
//   serial --watch    the same, sleeping until a command file changes
// Options, anywhere: --no-console (read nothing from standard input),
// --cwd DIR (work in DIR, created when missing), --stale-ms MS (the
// writers: the neutral command once no command file has been written for
// MS), --settle-ms MS (the watching writer: how long the command files
// must be quiet before it reads them, 0 to 20, 3 by default). NAME:=VALUE
// arguments (roslaunch's) are ignored. In all but the
// first mode, typing 0 on the console stops the bridge, and so do SIGINT,
// SIGTERM and SIGHUP. This file holds the console, the stop signals and
// main; line.cpp the lines, reader.cpp and writer.cpp the two workers,
// watch.cpp the writer's sleeping loop.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "arguments.h"
#include "bridge_logic.h"
#include "console.h"
#include "folders.h"
#include "line.h"
#include "stop_signals.h"
#include "workers.h"
#include "writer.h"

static const char* const kProgram = SERIAL_RAW ? "serial_raw" : "serial";

// The stop-signal handler stores into it, so it must be lock-free.
static_assert(ATOMIC_INT_LOCK_FREE == 2, "the run flag must be a lock-free atomic");

// Run flag: written by the console thread and the stop-signal handler (on
// the console thread), read by the worker once per pass.
static std::atomic<int> g_run(1);

// Stores a console value into the run flag. A stop is final: a number read
// just as an interrupt arrives must not start the worker up again.
static void storeRunFlag(int value) {
  int current = g_run.load();
  while (current != 0 && !g_run.compare_exchange_weak(current, value)) {
  }
}

// Async-signal-safe: lock-free atomics and nothing else. A signal that
// finds the stop under way tells the writer to stop waiting on the line.
static void onStopSignal(int) {
  if (g_run.exchange(0) == 0) hurryStop();
}

static int runNeutral() {
  int fd = open_port(kDrivePort);
  if (fd != -1) {
    DriveLine line;
    initDriveLine(&line, &g_run);
    takeDriveLine(&line, fd);
    releaseLine(&line);
  }
  return 0;
}

int main(int argc, char** argv) {
  openMissingStandardStreams();
  // Line-buffered even into a pipe or a log, so each line shows when printed.
  setvbuf(stdout, NULL, _IOLBF, 0);
  // A closed stdout (serial write | head) must not kill the bridge between
  // a pair and the neutral command; the failed print is simply lost.
  signal(SIGPIPE, SIG_IGN);

  pthread_attr_t attr;
  pthread_attr_t* attrToUse = NULL;
  if (!SERIAL_RAW) {
    // Kept: the serial build has always made its worker with an attribute
    // one above the default priority (serial_raw with none). The attribute
    // inherits the creator's scheduling, so on Linux it changes nothing; it
    // stays so the car's build starts its worker as it always has.
    struct sched_param param;
    pthread_attr_init(&attr);
    pthread_attr_getschedparam(&attr, &param);
    param.sched_priority += 1;
    pthread_attr_setschedparam(&attr, &param);
    attrToUse = &attr;
  }

  ConsoleArguments args;
  const char* wrong = takeConsoleArguments(&argc, argv, kNoConsoleOption | kCwdOption | kStaleOption | kSettleOption,
                                           &args);
  if (wrong != NULL) {
    fprintf(stderr, "%s: %s\n", kProgram, wrong);
    return 2;
  }
  if (args.cwd != NULL && !enterWorkFolder(kProgram, args.cwd)) return 1;
  BridgeMode mode = bridgeMode(argc > 1 ? argv[1] : NULL);
  if (mode == kModeNeutral) return runNeutral();

  // SIGINT, SIGTERM and SIGHUP stay blocked on every thread (the worker
  // inherits the mask) and are taken only while the main thread waits in
  // ppoll with waitMask: for the console, or for the worker.
  sigset_t waitMask;
  catchStopSignals(onStopSignal, &waitMask);
  setStaleBound(args.staleMs);
  if (args.settleMs >= 0) setSettleTime(args.settleMs);
  openStopNotice();
  pthread_t worker;
  void* (*body)(void*) = mode == kModeReader ? sread : mode == kModeWatchingWriter ? swatch : swrite;
  if (pthread_create(&worker, attrToUse, body, &g_run) != 0) {
    fputs("cannot start the worker thread\n", stderr);
    return 1;
  }
  if (args.noConsole) {
    // No console to read: only a stop signal ends the wait.
    while (g_run != 0) ppoll(NULL, 0, NULL, &waitMask);
  } else {
    ConsoleSource console;
    initConsoleSource(&console, STDIN_FILENO, &waitMask, &g_run);
    // End of input stops the worker like a typed 0.
    while (g_run != 0) storeRunFlag(nextRunValue(consoleByte, &console));
  }
  announceStop();
  // Joined while taking stop signals, so a second one can hurry the writer.
  while (pthread_tryjoin_np(worker, NULL) == EBUSY) {
    struct timespec slice = {0, 10 * 1000 * 1000};
    ppoll(NULL, 0, &slice, &waitMask);
  }
  return 0;
}
