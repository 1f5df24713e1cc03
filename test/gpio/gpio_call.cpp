#include "gpio_call.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "gpio_sysfs.h"
#include "process.h"

int runGpioCall(int argc, char** argv, std::string (*report)()) {
  const std::string name = argv[0];
  auto arg = [&](int i) { return i < argc ? atoi(argv[i]) : 0; };
  // The descriptor the call's own open will get, for the wrong-count result.
  int next = open("/dev/null", O_RDONLY);
  close(next);
  int value = -7;
  int result;
  if (name == "export") result = gpioExport(arg(1));
  else if (name == "unexport") result = gpioUnexport(arg(1));
  else if (name == "direction") result = gpioSetDirection(arg(1), arg(2));
  else if (name == "setvalue") result = gpioSetValue(arg(1), arg(2));
  else if (name == "getvalue") result = gpioGetValue(arg(1), &value);
  else if (name == "getvalue-fd0") {
    close(0);  // the call's open then gets descriptor 0
    next = 0;
    result = gpioGetValue(arg(1), &value);
  } else if (name == "edge") result = gpioSetEdge(arg(1), argc > 2 ? argv[2] : "");
  else if (name == "open") result = gpioOpen(arg(1));
  else if (name == "close") result = gpioClose(arg(1));
  else if (name == "activelow") result = gpioActiveLow(arg(1), arg(2));
  else return 2;
  printf("result=%d value=%d next=%d%s\n", result, value, next, report ? report().c_str() : "");
  return 0;
}

GpioCall gpioCallInChild(const std::vector<std::string>& args, double seconds) {
  std::vector<std::string> argv = {"/proc/self/exe", "--call"};
  argv.insert(argv.end(), args.begin(), args.end());
  Child child;
  GpioCall r;
  std::string error;
  if (!startChild(&child, argv, "", {}, &error)) {
    ADD_FAILURE() << error;
    return r;
  }
  if (!waitExit(&child, seconds)) {
    stopChild(&child, SIGKILL, 1);
    ADD_FAILURE() << "call did not finish";
    return r;
  }
  EXPECT_EQ(0, exitCode(child));
  char file[64] = "-", bytes[256] = "-";
  sscanf(child.outText.c_str(), "result=%d value=%d next=%d file=%63s bytes=%255s answer=%ld", &r.result,
         &r.value, &r.next, file, bytes, &r.answer);
  r.file = file;
  r.bytes = bytes;
  r.err = child.errText;
  return r;
}

int gpioCallMain(int argc, char** argv, std::string (*report)()) {
  if (argc >= 3 && std::string(argv[1]) == "--call") return runGpioCall(argc - 2, argv + 2, report);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
