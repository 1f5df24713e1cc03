// Sysfs GPIO access: each call opens one file under /sys/class/gpio, moves
// a few bytes with a single write or read, closes the file and returns a
// status. Failures are reported with one perror line each.
#include "gpio_sysfs.h"
#include "gpio_paths.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

enum { kMessageSize = 128 };

// Reports a failed open the way every call does, naming the line.
static void reportOpenFailure(const char* function, int gpio) {
  char message[kMessageSize];
  snprintf(message, kMessageSize, "%s unable to open gpio%d", function, gpio);
  perror(message);
}

// A call that moved the wrong count hands back its descriptor number, but
// closes it first so a caller polling in a loop does not run out of
// descriptors; 0 would read as success, so it becomes -1.
static int failTransfer(const char* function, int fd) {
  perror(function);
  close(fd);
  return fd == 0 ? -1 : fd;
}

// Opens path write-only and writes exactly count bytes of data.
static int writeFile(const char* function, int gpio, const char* path, const char* data,
                     size_t count) {
  int fd = open(path, O_WRONLY);
  if (fd < 0) {
    reportOpenFailure(function, gpio);
    return fd;
  }
  ssize_t written = write(fd, data, count);
  if (written < 0 || (size_t)written != count) return failTransfer(function, fd);
  close(fd);
  return 0;
}

// Writes the line number's decimal text, nothing after it, to the GPIO
// folder's file name (export, unexport).
static int writeLineNumber(const char* function, const char* name, int gpio) {
  char path[kGpioPathSize];
  snprintf(path, sizeof path, "%s/%s", kGpioDir, name);
  char number[kGpioPathSize];
  int length = snprintf(number, sizeof number, "%d", gpio);
  return writeFile(function, gpio, path, number, (size_t)length);
}

int gpioExport(int gpio) {
  return writeLineNumber("gpioExport", "export", gpio);
}

int gpioUnexport(int gpio) {
  return writeLineNumber("gpioUnexport", "unexport", gpio);
}

// The keywords go out with their zero byte: "out" is 4 bytes, "in" 3.
int gpioSetDirection(int gpio, int output) {
  char path[kGpioPathSize];
  gpioLinePath(path, sizeof path, gpio, "direction");
  const char* keyword = output ? "out" : "in";
  return writeFile("gpioSetDirection", gpio, path, keyword, strlen(keyword) + 1);
}

int gpioSetValue(int gpio, int value) {
  char path[kGpioPathSize];
  gpioLinePath(path, sizeof path, gpio, "value");
  return writeFile("gpioSetValue", gpio, path, value ? "1" : "0", 2);
}

int gpioGetValue(int gpio, int* value) {
  char path[kGpioPathSize];
  gpioLinePath(path, sizeof path, gpio, "value");
  int fd = open(path, O_RDONLY);
  if (fd < 0) {
    reportOpenFailure("gpioGetValue", gpio);
    return fd;
  }
  char level;
  if (read(fd, &level, 1) != 1) return failTransfer("gpioGetValue", fd);
  *value = level == '0' ? 0 : 1;
  close(fd);
  return 0;
}

int gpioSetEdge(int gpio, const char* edge) {
  char path[kGpioPathSize];
  gpioLinePath(path, sizeof path, gpio, "edge");
  return writeFile("gpioSetEdge", gpio, path, edge, strlen(edge) + 1);
}

int gpioOpen(int gpio) {
  char path[kGpioPathSize];
  gpioLinePath(path, sizeof path, gpio, "value");
  int fd = open(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) reportOpenFailure("gpioOpen", gpio);
  return fd;
}

int gpioClose(int fd) {
  return close(fd);
}

int gpioActiveLow(int gpio, int value) {
  char path[kGpioPathSize];
  gpioLinePath(path, sizeof path, gpio, "active_low");
  return writeFile("gpioActiveLow", gpio, path, value ? "1" : "0", 2);
}
