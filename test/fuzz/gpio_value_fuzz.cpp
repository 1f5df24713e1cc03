// The GPIO value reader, through the real library on a value file whose
// content is the fuzzer's: a first byte '0' reads 0, any other first byte
// reads 1, an empty file is a failure that leaves the level untouched, and
// no call leaves a descriptor open. Runs inside the simulated board, where
// /sys/class/gpio is a private tmpfs.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_check.h"
#include "gpio_sysfs.h"

namespace {

const char kValuePath[] = "/sys/class/gpio/gpio9/value";

int openDescriptors() {
  int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;  // the lowest free number: grows when something leaks
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (mkdir("/sys/class/gpio/gpio9", 0755) != 0 && access("/sys/class/gpio/gpio9", F_OK) != 0) {
    perror("fuzz_gpio_value: needs the simulated board's /sys/class/gpio");
    abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = fopen(kValuePath, "w");
  FUZZ_CHECK(f != NULL);
  FUZZ_CHECK(fwrite(data, 1, size, f) == size);
  fclose(f);
  const int lowestFree = openDescriptors();
  int level = -7;
  int result = gpioGetValue(9, &level);
  if (size == 0) {
    FUZZ_CHECK(result != 0);
    FUZZ_CHECK(level == -7);
  } else {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(level == (data[0] == '0' ? 0 : 1));
  }
  FUZZ_CHECK(openDescriptors() == lowestFree);
  return 0;
}
