// One gpio_sysfs call in a child process: the test program re-executed as
// "PROGRAM --call NAME ARGS...", so that the call's perror lines can be
// captured apart from the test's own output.
#pragma once

#include <string>
#include <vector>

struct GpioCall {
  int result = -100;
  int value = -100;  // gpioGetValue's level; -7 when the call left it alone
  int next = -100;   // the descriptor the call's own open would get
  // What the child's reporter added: the last write under /sys, where the
  // test sees it (file name, bytes in hex, the kernel's answer).
  std::string file;
  std::string bytes;
  long answer = -100;
  std::string err;  // the child's standard error
};

// Child side: runs the call named by argv[0] ("export", "getvalue",
// "getvalue-fd0", "edge", ...) with its arguments and prints the results,
// then what report returns (nullptr: nothing). 2 for an unknown call.
int runGpioCall(int argc, char** argv, std::string (*report)());

// Test side: runs this program with --call and args, waiting at most
// seconds; a child that fails to start or to end is a test failure.
GpioCall gpioCallInChild(const std::vector<std::string>& args, double seconds);

// main of a test program with children of its own: a --call child or the tests.
int gpioCallMain(int argc, char** argv, std::string (*report)());
