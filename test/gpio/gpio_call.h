// One gpio_sysfs call in a child process: the test program re-executed as
// "PROGRAM --call NAME ARGS...", so that the call's perror lines can be
// captured apart from the test's own output. The bytes each call hands to
// a file under /sys are seen by interposing write(2): the library calls it
// through the dynamic linker, so the test program's definition wins.
#pragma once

#include <string>
#include <vector>

struct GpioCall {
  int result = -100;
  int value = -100;  // gpioGetValue's level; -7 when the call left it alone
  int next = -100;   // the descriptor the call's own open would get
  // The last write under /sys: file name, bytes in hex, and the answer
  // (the count written, or minus the error number).
  std::string file;
  std::string bytes;
  long answer = -100;
  std::string err;  // the child's standard error
};

// Test side: runs this program with --call and args, waiting at most
// seconds; a child that fails to start or to end is a test failure.
GpioCall gpioCallInChild(const std::vector<std::string>& args, double seconds);

// main of a test program with children of its own: a --call child (the
// call named by the next argument: "export", "getvalue", "getvalue-fd0",
// "edge", ...) or the tests.
int gpioCallMain(int argc, char** argv);
