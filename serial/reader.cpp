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

// A lost or missing controller is reported once per outage (and again if
// a missing one turns out held by another program, or the other way round)
// and the line is opened again every second, so a re-plugged or freed
// controller comes back.
void* sread(void* arg) {
  const std::atomic<int>* run = static_cast<std::atomic<int>*>(arg);
  int fd = -1;
  // Why the line could not be taken, as said; kPortOpen while nothing is said.
  PortResult said = openPort(kTachometerPort, &fd);
  reportPort(kTachometerPort, said);
  if (fd != -1) configure_port(fd);
  while (*run != 0) {
    if (fd == -1) {
      if (!pauseWhileRunning(run, kReopenMs)) break;
      PortResult result = openPort(kTachometerPort, &fd);
      if (result != said) reportPort(kTachometerPort, result);
      said = result;
      if (fd == -1) continue;
      configure_port(fd);
    }
    if (!waitReadable(fd, run)) break;
    unsigned char byte = 0;
    ssize_t n = read(fd, &byte, 1);
    if (n == 1) {
      if (byte != 0) printf("Tachometer: %u\n", static_cast<unsigned>(byte));
      continue;
    }
    // A tty read that gives no byte after poll said ready: the device went away.
    printf("sread: lost %s.\n", kTachometerPort);
    said = kPortMissing;
    closePort(fd);
    fd = -1;
  }
  if (fd != -1) closePort(fd);
  return NULL;
}
