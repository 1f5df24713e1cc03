// The sysfs GPIO stand-in for tests and benchmarks that run inside
// `tools/simboard --bare`: start gpio_sim at /sys/class/gpio, talk to its
// control socket, stop it again.
#pragma once

#include <stdlib.h>

#include <string>

#include "process.h"

// Starts binDir/gpio_sim at /sys/class/gpio with the socket
// "$SIMBOARD_DIR/gpio.sock" and waits (bounded) until export exists.
bool startGpioBoardFrom(const std::string& binDir, Child* sim, std::string* error);

// As above, with gpio_sim taken from SIMBOARD_BIN, else from the build's
// program folder.
inline bool startGpioBoard(Child* sim, std::string* error) {
  const char* bin = getenv("SIMBOARD_BIN");
#ifdef PELMORA_BIN_DIR
  if (bin == nullptr || *bin == '\0') bin = PELMORA_BIN_DIR;
#endif
  if (bin == nullptr) {
    if (error) *error = "SIMBOARD_BIN is not set";
    return false;
  }
  return startGpioBoardFrom(bin, sim, error);
}

// Sends one command to the stand-in; returns its reply without the
// newline, or "error ..." when the socket cannot be reached in time.
std::string gpioBoard(const std::string& command);

// Stops the stand-in and waits (bounded) until its mount is gone.
void stopGpioBoard(Child* sim);

// True while a FUSE file system is mounted at /sys/class/gpio.
bool gpioBoardMounted();
