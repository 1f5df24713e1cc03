// The tachometer reader of `serial read`: every non-zero byte that the
// tachometer controller sends on /dev/ttyACM1 is printed as a number.
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>

#include "line.h"
#include "workers.h"

// How often a reader waiting for a byte looks at the run flag.
static const int kStopCheckMs = 100;

// Waits until fd has a byte (or has hung up); false when the flag went to 0.
static bool waitReadable(int fd, const std::atomic<int>* run) {
  while (*run != 0) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, kStopCheckMs) > 0) return true;
  }
  return false;
}

// A lost or missing controller is reported once per outage and the line is
// opened again every second, so a re-plugged controller comes back.
void* sread(void* arg) {
  const std::atomic<int>* run = static_cast<std::atomic<int>*>(arg);
  int fd = configure_port(open_port(kTachometerPort));
  bool outageReported = fd == -1;
  while (*run != 0) {
    if (fd == -1) {
      if (!pauseWhileRunning(run, kReopenMs)) break;
      fd = openPort(kTachometerPort, !outageReported);
      if (fd == -1) {
        outageReported = true;
        continue;
      }
      configure_port(fd);
      outageReported = false;
    }
    if (!waitReadable(fd, run)) break;
    unsigned char byte = 0;
    ssize_t n = read(fd, &byte, 1);
    if (n == 1) {
      if (byte != 0) printf("Tachometer: %u\n", static_cast<unsigned>(byte));
      continue;
    }
    // A tty read that gives no byte after poll said ready: the device went away.
    if (!outageReported) printf("sread: lost %s.\n", kTachometerPort);
    outageReported = true;
    close(fd);
    fd = -1;
  }
  if (fd != -1) close(fd);
  return NULL;
}
