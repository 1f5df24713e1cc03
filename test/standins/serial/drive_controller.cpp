// Stand-in for the drive controller on /dev/ttyACM0: records every byte the
// host sends, with its arrival time, as "<seconds> <byte>" lines on stdout
// and in the --record file; "<seconds> open" and "<seconds> close" mark the
// host opening and closing the line. Commands on stdin: unplug, plug, quit,
// and stall / resume: a stalled controller (stuck firmware, full USB buffer)
// takes no more bytes but does not hang up. "stall after N" stalls once it
// has taken N bytes since the host opened the line (at once if it already
// has); what the host wrote beyond them waits in the kernel, as in a real
// controller's full buffer, and arrives after "resume". A host that flushes
// its output loses what the controller has not taken yet, as over a real
// UART ("<seconds> flushed").
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
#include <sys/ioctl.h>
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

// The line as the controller sees it; only the main thread uses it.
struct Wire {
  PtyDevice pty;  // pty.master is -1 while unplugged
  bool hostOpen;  // the host has the line open
  bool stalled;   // taking no bytes
  double due;     // paced only: when the byte on the wire has arrived (0: idle)
  long taken;     // bytes taken since the host last opened the line
  long stallAt;   // stall once taken reaches it; -1: no stall asked for
};

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

// Notes the host opening or closing the line.
static void noteHost(Wire* wire, bool open) {
  if (open == wire->hostOpen) return;
  wire->hostOpen = open;
  if (open) wire->taken = 0;
  emitEvent(open ? "open" : "close");
}

// Records bytes taken at time now.
static void takeBytes(Wire* wire, const unsigned char* bytes, ssize_t n, double now) {
  std::string lines;
  char line[48];
  for (ssize_t i = 0; i < n; ++i) {
    snprintf(line, sizeof line, "%.6f %u\n", now, static_cast<unsigned>(bytes[i]));
    lines += line;
  }
  emit(lines.c_str());
  wire->taken += n;
}

// How many more bytes the controller takes before an asked-for stall.
static size_t roomBeforeStall(const Wire& wire, size_t most) {
  if (wire.stallAt < 0) return most;
  long left = wire.stallAt - wire.taken;
  return left <= 0 ? 0 : static_cast<size_t>(left) < most ? static_cast<size_t>(left) : most;
}

// Packet mode: each read of the master starts with a status byte, which
// tells among other things when the host flushed its output.
static void plugWire(Wire* wire, const char* device) {
  plugDevice(device, &wire->pty);
  int on = 1;
  if (wire->pty.master != -1 && ioctl(wire->pty.master, TIOCPKT, &on) != 0)
    fprintf(stderr, "drive_controller: cannot watch for flushes: %s\n", strerror(errno));
}

// A status read from the master: the host's flush drops what it wrote and
// the controller has not taken.
static void hostStatus(Wire* wire, unsigned char status) {
  if ((status & TIOCPKT_FLUSHWRITE) == 0) return;
  tcflush(wire->pty.master, TCIFLUSH);
  emitEvent("flushed");
}

// A status waiting to be read, read without taking any byte.
static void checkStatus(Wire* wire) {
  struct pollfd p = {wire->pty.master, POLLPRI, 0};
  unsigned char status;
  if (poll(&p, 1, 0) == 1 && (p.revents & POLLPRI) != 0 && read(wire->pty.master, &status, 1) == 1)
    hostStatus(wire, status);
}

// Records everything the host has written so far and notes the host
// opening and closing the line. Bytes written just before a close still
// arrive, before the close: the host's state is looked at first, then
// read until nothing is left.
static void serviceLine(Wire* wire) {
  const bool hostOpen = hostHasLineOpen(&wire->pty);
  unsigned char packet[4097];
  for (;;) {
    size_t room = roomBeforeStall(*wire, sizeof packet - 1);
    if (room == 0) return;
    ssize_t n = read(wire->pty.master, packet, room + 1);
    if (n < 0 && errno == EINTR) continue;
    noteHost(wire, n > 0 || hostOpen);
    if (n <= 0) return;
    if (packet[0] != TIOCPKT_DATA) {
      hostStatus(wire, packet[0]);
      continue;
    }
    takeBytes(wire, packet + 1, n - 1, nowSeconds());
  }
}

static void stall(Wire* wire) {
  if (!setHostOutput(wire->pty, false)) fprintf(stderr, "drive_controller: cannot stall the line\n");
  wire->stalled = true;
  wire->due = 0;
  wire->stallAt = -1;
  emitEvent("stalled");
}

// While stalled no byte is read; the host coming and going, and its
// flushes, are still noted.
static void watchHost(Wire* wire) {
  checkStatus(wire);
  noteHost(wire, hostHasLineOpen(&wire->pty));
}

// The line's baud rate as the host set it (a pty master sees the slave's
// settings); 9600 when it names none we know. A table of its own, not the
// bridge's: a wrong entry there must show here as a wrong pace.
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

// Takes the host's bytes at the wire's pace. wire->due is when the byte on
// the wire has fully arrived; a byte the host has just written arrives one
// byte time later, the next one a byte time after that on a clock of its
// own, so a slow wake-up never slows the wire.
static void serviceLinePaced(Wire* wire) {
  for (;;) {
    double now = nowSeconds();
    if (wire->due == 0) {
      // The host's state first: bytes written before a close come before it.
      const bool hostOpen = hostHasLineOpen(&wire->pty);
      struct pollfd p = {wire->pty.master, POLLIN, 0};
      poll(&p, 1, 0);
      bool data = (p.revents & POLLIN) != 0;
      noteHost(wire, data || hostOpen);
      if (data) wire->due = now + 10.0 / lineBaud(wire->pty.master);
      return;
    }
    if (now < wire->due || roomBeforeStall(*wire, 1) == 0) return;
    unsigned char packet[2];
    ssize_t n = read(wire->pty.master, packet, sizeof packet);
    if (n < 0 && errno == EINTR) continue;
    if (n == 1) hostStatus(wire, packet[0]);
    if (n != 2) {
      // A status, or drained (the idle check above notes a close).
      wire->due = 0;
      continue;
    }
    takeBytes(wire, packet + 1, 1, now);
    wire->due += 10.0 / lineBaud(wire->pty.master);
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

// Carries out one command from stdin; false when the controller cannot go on.
static bool obey(const std::string& command, const char* device, Wire* wire) {
  long count = -1;
  char extra = 0;
  if (command == "unplug" && wire->pty.master != -1) {
    noteHost(wire, false);
    unplugDevice(device, &wire->pty);
    wire->stalled = false;
    wire->due = 0;
    wire->stallAt = -1;
    emitEvent("unplugged");
  } else if (command == "plug" && wire->pty.master == -1) {
    plugWire(wire, device);
    if (wire->pty.master == -1) return false;
    emitEvent("plugged");
  } else if (command == "stall" && wire->pty.master != -1 && !wire->stalled) {
    // What the host wrote before the stall still counts.
    serviceLine(wire);
    stall(wire);
  } else if (sscanf(command.c_str(), "stall after %ld %c", &count, &extra) == 1 && count >= 0) {
    wire->stallAt = count;
  } else if (command == "resume" && wire->pty.master != -1 && wire->stalled) {
    if (!setHostOutput(wire->pty, true)) fprintf(stderr, "drive_controller: cannot resume the line\n");
    wire->stalled = false;
    emitEvent("resumed");
  } else if (command == "quit") {
    g_stop = 1;
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

  Wire wire = {{-1, -1, -1, 0}, false, false, 0, 0, -1};
  plugWire(&wire, device);
  if (wire.pty.master == -1) return 1;
  printf("ready %s\n", device);
  fflush(stdout);

  bool stdinOpen = true;
  std::string pending;
  while (!g_stop) {
    const bool plugged = wire.pty.master != -1;
    // The host's opens and closes wake us too; while it has the line
    // closed we also look again every few milliseconds.
    struct pollfd fds[3] = {{stdinOpen ? 0 : -1, POLLIN, 0}, {-1, POLLIN, 0}, {plugged ? wire.pty.watch : -1, POLLIN, 0}};
    if (plugged && wire.hostOpen && !wire.stalled && wire.due == 0) fds[1].fd = wire.pty.master;
    double timeout = plugged && (!wire.hostOpen || wire.stalled) ? 0.002 : 0.2;
    if (wire.due != 0) {
      double left = wire.due - nowSeconds();
      timeout = left <= 0 ? 0 : left;
    }
    // ppoll: the wire's byte times are finer than poll's milliseconds.
    struct timespec wait = {static_cast<time_t>(timeout), static_cast<long>((timeout - static_cast<long>(timeout)) * 1e9)};
    if (ppoll(fds, 3, &wait, NULL) < 0 && errno != EINTR) break;

    if (plugged && wire.stalled) watchHost(&wire);
    if (plugged && !wire.stalled && paced) serviceLinePaced(&wire);
    if (plugged && !wire.stalled && !paced) serviceLine(&wire);
    if (plugged && !wire.stalled && roomBeforeStall(wire, 1) == 0) stall(&wire);

    if (fds[0].revents & (POLLIN | POLLHUP)) {
      std::vector<std::string> commands;
      if (!readCommands(&pending, &commands)) {
        stdinOpen = false;
        continue;
      }
      for (const std::string& command : commands) {
        if (!obey(command, device, &wire)) return 1;
      }
    }
  }
  if (wire.pty.master != -1) unplugDevice(device, &wire.pty);
  if (g_record != NULL) fclose(g_record);
  return 0;
}
