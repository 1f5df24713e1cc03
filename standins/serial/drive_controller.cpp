// Stand-in for the drive controller on /dev/ttyACM0: records every byte the
// host sends, with its arrival time, as "<seconds> <byte>" lines on stdout
// and in the --record file; "<seconds> open" and "<seconds> close" mark the
// host opening and closing the line. Commands on stdin: unplug, plug, quit,
// and stall / resume: a stalled controller (stuck firmware, full USB buffer)
// takes no more bytes but does not hang up.
// It takes bytes at the line's rate, as a controller behind a UART does: 10
// bits a byte at the baud rate the host set (2.08 ms a pair at 9600), so
// what the host writes faster queues in the kernel. --unpaced reads as fast
// as the pseudo-terminal delivers.
//   drive_controller [--device PATH] [--record FILE] [--unpaced]
// Times are CLOCK_MONOTONIC seconds, comparable with other processes.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "monotonic_clock.h"
#include "pty_device.h"

// Set by the signal handler, read by the main loop.
static volatile sig_atomic_t g_stop = 0;

// Where each line goes: stdout and, when given, the record file. Written
// only by the main thread.
static FILE* g_record = NULL;

static void onSignal(int) { g_stop = 1; }

static void emit(const char* line) {
  fputs(line, stdout);
  fflush(stdout);
  if (g_record != NULL) {
    fputs(line, g_record);
    fflush(g_record);
  }
}

static void emitEvent(const char* what) {
  char line[64];
  snprintf(line, sizeof line, "%.6f %s\n", nowSeconds(), what);
  emit(line);
}

// Records everything the host has written so far and notes the host
// opening and closing the line. Bytes written just before a close still
// arrive: a pty master hands them out first, then reads EIO.
static void serviceLine(int master, bool* hostOpen) {
  unsigned char buf[4096];
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    bool lineUp = n > 0 || (n < 0 && errno == EAGAIN);
    if (lineUp && !*hostOpen) {
      *hostOpen = true;
      emitEvent("open");
    }
    if (!lineUp && *hostOpen) {
      *hostOpen = false;
      emitEvent("close");
    }
    if (n <= 0) return;
    double now = nowSeconds();
    std::string lines;
    char line[48];
    for (ssize_t i = 0; i < n; ++i) {
      snprintf(line, sizeof line, "%.6f %u\n", now, static_cast<unsigned>(buf[i]));
      lines += line;
    }
    emit(lines.c_str());
  }
}

// Stops or restarts the host's output on the line, as a device that no
// longer takes bytes would; true when done.
static bool setHostOutput(int master, bool flowing) {
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) return false;
  // Briefly our own handle on the host side: flow control is a property
  // of the line, and it stays after we close ours.
  int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave == -1) return false;
  bool done = tcflow(slave, flowing ? TCOON : TCOOFF) == 0;
  close(slave);
  return done;
}

// While stalled no byte is read; the host coming and going is still noted.
static void watchHost(int master, bool* hostOpen) {
  bool open = hostHasLineOpen(master);
  if (open != *hostOpen) emitEvent(open ? "open" : "close");
  *hostOpen = open;
}

// The line's baud rate as the host set it (a pty master sees the slave's
// settings); 9600 when it names none we know.
static double lineBaud(int master) {
  static const struct {
    speed_t code;
    double baud;
  } kSpeeds[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
                 {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
                 {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  struct termios t;
  if (tcgetattr(master, &t) != 0) return 9600;
  speed_t code = cfgetospeed(&t);
  for (size_t i = 0; i < sizeof kSpeeds / sizeof kSpeeds[0]; ++i) {
    if (kSpeeds[i].code == code) return kSpeeds[i].baud;
  }
  return 9600;
}

// Takes the host's bytes at the wire's pace. *due is when the byte on the
// wire has fully arrived (0: the wire is idle); a byte the host has just
// written arrives one byte time later, the next one a byte time after that
// on a clock of its own, so a slow wake-up never slows the wire.
static void serviceLinePaced(int master, bool* hostOpen, double* due) {
  for (;;) {
    double now = nowSeconds();
    if (*due == 0) {
      struct pollfd p = {master, POLLIN, 0};
      poll(&p, 1, 0);
      bool data = (p.revents & POLLIN) != 0;
      bool open = data || (p.revents & POLLHUP) == 0;
      if (open != *hostOpen) emitEvent(open ? "open" : "close");
      *hostOpen = open;
      if (data) *due = now + 10.0 / lineBaud(master);
      return;
    }
    if (now < *due) return;
    unsigned char byte;
    ssize_t n = read(master, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n != 1) {
      // Drained (or hung up: the idle check above notes it).
      *due = 0;
      continue;
    }
    char line[48];
    snprintf(line, sizeof line, "%.6f %u\n", now, static_cast<unsigned>(byte));
    emit(line);
    *due += 10.0 / lineBaud(master);
  }
}

static bool parseArgs(int argc, char** argv, const char** device, const char** record, bool* paced) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--unpaced") {
      *paced = false;
    } else if (i + 1 < argc && arg == "--device") {
      *device = argv[++i];
    } else if (i + 1 < argc && arg == "--record") {
      *record = argv[++i];
    } else {
      fprintf(stderr, "usage: drive_controller [--device PATH] [--record FILE] [--unpaced]\n");
      return false;
    }
  }
  return true;
}

int main(int argc, char** argv) {
  const char* device = "/dev/ttyACM0";
  const char* recordPath = NULL;
  bool paced = true;
  if (!parseArgs(argc, argv, &device, &recordPath, &paced)) return 2;
  if (recordPath != NULL) {
    g_record = fopen(recordPath, "w");
    if (g_record == NULL) {
      fprintf(stderr, "drive_controller: cannot write %s: %s\n", recordPath, strerror(errno));
      return 1;
    }
  }
  catchStopSignals(onSignal);

  int master = plugDevice(device);
  if (master == -1) return 1;
  printf("ready %s\n", device);
  fflush(stdout);

  bool hostOpen = false;
  bool stalled = false;
  double due = 0;  // paced only: when the byte on the wire has arrived
  bool stdinOpen = true;
  std::string pending;
  while (!g_stop) {
    struct pollfd fds[2] = {{stdinOpen ? 0 : -1, POLLIN, 0}, {-1, POLLIN, 0}};
    // A closed line keeps reporting a hang-up, so while nobody has it open
    // we look again every few milliseconds instead of polling it.
    if (master != -1 && hostOpen && !stalled && due == 0) fds[1].fd = master;
    double timeout = master != -1 && (!hostOpen || stalled) ? 0.002 : 0.2;
    if (due != 0) {
      double left = due - nowSeconds();
      timeout = left <= 0 ? 0 : left;
    }
    // ppoll: the wire's byte times are finer than poll's milliseconds.
    struct timespec wait = {static_cast<time_t>(timeout), static_cast<long>((timeout - static_cast<long>(timeout)) * 1e9)};
    if (ppoll(fds, 2, &wait, NULL) < 0 && errno != EINTR) break;

    if (master != -1 && stalled) watchHost(master, &hostOpen);
    if (master != -1 && !stalled && paced) serviceLinePaced(master, &hostOpen, &due);
    if (master != -1 && !stalled && !paced) serviceLine(master, &hostOpen);

    if (fds[0].revents & (POLLIN | POLLHUP)) {
      std::vector<std::string> commands;
      if (!readCommands(&pending, &commands)) {
        stdinOpen = false;
        continue;
      }
      for (const std::string& command : commands) {
        if (command == "unplug" && master != -1) {
          if (hostOpen) emitEvent("close");
          hostOpen = false;
          unplugDevice(device, master);
          master = -1;
          stalled = false;
          due = 0;
          emitEvent("unplugged");
        } else if (command == "plug" && master == -1) {
          master = plugDevice(device);
          if (master == -1) return 1;
          emitEvent("plugged");
        } else if (command == "stall" && master != -1 && !stalled) {
          if (!setHostOutput(master, false)) fprintf(stderr, "drive_controller: cannot stall the line\n");
          // What the host wrote before the stall still counts.
          serviceLine(master, &hostOpen);
          stalled = true;
          due = 0;
          emitEvent("stalled");
        } else if (command == "resume" && master != -1 && stalled) {
          if (!setHostOutput(master, true)) fprintf(stderr, "drive_controller: cannot resume the line\n");
          stalled = false;
          emitEvent("resumed");
        } else if (command == "quit") {
          g_stop = 1;
        }
      }
    }
  }
  if (master != -1) unplugDevice(device, master);
  if (g_record != NULL) fclose(g_record);
  return 0;
}
