// One gpio_sysfs call in a child process; see gpio_call.h.
#include "gpio_call.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "gpio_sysfs.h"
#include "process.h"

namespace {

// The last write to a file under /sys: its file name, bytes (hex) and the
// answer. Written and read by the call's one thread.
std::string g_file;
std::string g_bytes;
long g_answer = -100;

}  // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t count) {
  typedef ssize_t (*WriteFn)(int, const void*, size_t);
  static WriteFn real = reinterpret_cast<WriteFn>(dlsym(RTLD_NEXT, "write"));
  ssize_t n = real(fd, buf, count);
  const int saved = errno;
  char target[256];
  ssize_t len = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  if (len > 5 && std::string(target, 5) == "/sys/") {
    std::string path(target, static_cast<size_t>(len));
    g_file = path.substr(path.rfind('/') + 1);
    g_bytes.clear();
    for (size_t i = 0; i < count; ++i) {
      char hex[3];
      snprintf(hex, sizeof hex, "%02x", static_cast<const unsigned char*>(buf)[i]);
      g_bytes += hex;
    }
    g_answer = n < 0 ? -errno : n;
  }
  errno = saved;
  return n;
}

namespace {

// Child side: runs the call named by argv[0] with its arguments and prints
// the results and the last write under /sys. 2 for an unknown call.
int runGpioCall(int argc, char** argv) {
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
  printf("result=%d value=%d next=%d file=%s bytes=%s answer=%ld\n", result, value, next,
         g_file.empty() ? "-" : g_file.c_str(), g_bytes.empty() ? "-" : g_bytes.c_str(), g_answer);
  return 0;
}

}  // namespace

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

int gpioCallMain(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--call") return runGpioCall(argc - 2, argv + 2);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
