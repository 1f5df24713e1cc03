// gpioGetValue calls per second against a bare open/read/close loop on the
// same file: on the sysfs GPIO stand-in (reader and stand-in on one CPU,
// then on different CPUs), then on a plain tmpfs file at the same path.
// Runs inside `test/tools/simboard --bare`; prints one line per figure.
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "gpio_board.h"
#include "gpio_sysfs.h"

namespace {

const char kValuePath[] = "/sys/class/gpio/gpio397/value";
const double kSliceSeconds = 0.25;
const int kSlices = 6;

long libraryCalls(double seconds) {
  long calls = 0;
  const double end = nowSeconds() + seconds;
  int value = 0;
  while (nowSeconds() < end) {
    for (int i = 0; i < 100; ++i) {
      if (gpioGetValue(397, &value) != 0) return -1;
    }
    calls += 100;
  }
  return calls;
}

long bareCalls(double seconds) {
  long calls = 0;
  const double end = nowSeconds() + seconds;
  char level;
  while (nowSeconds() < end) {
    for (int i = 0; i < 100; ++i) {
      int fd = open(kValuePath, O_RDONLY);
      if (fd < 0 || read(fd, &level, 1) != 1) return -1;
      close(fd);
    }
    calls += 100;
  }
  return calls;
}

// Alternates short slices of both loops so load from elsewhere hits both
// alike; prints calls per second of each and the library's cost.
void compare(const char* label) {
  long library = 0, bare = 0;
  for (int i = 0; i < kSlices; ++i) {
    long a = libraryCalls(kSliceSeconds);
    long b = bareCalls(kSliceSeconds);
    if (a < 0 || b < 0) {
      printf("%-32s  failed: the value file could not be read\n", label);
      return;
    }
    library += a;
    bare += b;
  }
  const double seconds = kSlices * kSliceSeconds;
  printf("%-32s  gpioGetValue %9.0f/s   open/read/close %9.0f/s   library/bare %.3f\n", label,
         library / seconds, bare / seconds, static_cast<double>(library) / bare);
  fflush(stdout);
}

// Pins this process and every thread of process pid to the given CPUs.
void pin(pid_t pid, int readerCpu, int simCpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(readerCpu, &set);
  sched_setaffinity(0, sizeof set, &set);
  CPU_ZERO(&set);
  CPU_SET(simCpu, &set);
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  while (struct dirent* e = dir ? readdir(dir) : nullptr) {
    if (e->d_name[0] != '.') sched_setaffinity(atoi(e->d_name), sizeof set, &set);
  }
  if (dir) closedir(dir);
}

void unpin(pid_t pid) {
  cpu_set_t set;
  CPU_ZERO(&set);
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  for (long c = 0; c < cpus && c < CPU_SETSIZE; ++c) CPU_SET(c, &set);
  sched_setaffinity(0, sizeof set, &set);
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  while (struct dirent* e = dir ? readdir(dir) : nullptr) {
    if (e->d_name[0] != '.') sched_setaffinity(atoi(e->d_name), sizeof set, &set);
  }
  if (dir) closedir(dir);
}

}  // namespace

int main() {
  Child sim;
  std::string error;
  if (!startGpioBoard(&sim, &error)) {
    fprintf(stderr, "bench_gpio: %s\n", error.c_str());
    return 1;
  }
  if (gpioBoard("export 397") != "ok" || gpioBoard("wave 397 rpm 600").compare(0, 2, "ok") != 0) {
    fprintf(stderr, "bench_gpio: the stand-in does not answer\n");
    stopGpioBoard(&sim);
    return 1;
  }
  // Warm up: the stand-in starts its worker threads on demand.
  libraryCalls(0.3);
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  pin(sim.pid, 0, 0);
  compare("stand-in, one CPU");
  if (cpus > 1) {
    pin(sim.pid, 0, 1);
    compare("stand-in, two CPUs");
  }
  unpin(sim.pid);
  compare("stand-in, unpinned");
  stopGpioBoard(&sim);

  // The same path on the board's plain tmpfs /sys/class.
  mkdir("/sys/class/gpio/gpio397", 0755);
  int fd = open(kValuePath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, "1\n", 2) != 2) {
    fprintf(stderr, "bench_gpio: cannot create a tmpfs value file\n");
    return 1;
  }
  close(fd);
  compare("tmpfs file");
  return 0;
}
