// The sysfs GPIO stand-in for tests and benchmarks that run inside
// `test/tools/simboard --bare`: start gpio_sim at /sys/class/gpio, talk to its
// control socket, stop it again.
#pragma once

#include <string>

#include "process.h"

// Starts binDir/gpio_sim at /sys/class/gpio with the socket
// "$SIMBOARD_DIR/gpio.sock" and waits (bounded) until export exists.
bool startGpioBoardFrom(const std::string& binDir, Child* sim, std::string* error);

// As above, with gpio_sim found by programPath.
bool startGpioBoard(Child* sim, std::string* error);

// Sends one command to the stand-in; returns its reply without the
// newline, or "error ..." when the socket cannot be reached in time.
std::string gpioBoard(const std::string& command);

// The number after key ("reads=", "start=") in a reply; -1 when the reply
// is not "ok ..." or has no such field.
long long gpioBoardNumber(const std::string& reply, const std::string& key);

// How often line 397's value file has been read so far; -1 when unknown.
long gpioBoardReads();

// Stops the stand-in and waits (bounded) until its mount is gone.
void stopGpioBoard(Child* sim);

// True while a FUSE file system is mounted at /sys/class/gpio.
bool gpioBoardMounted();
