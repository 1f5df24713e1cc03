// Where sysfs shows the GPIO lines: one rule for the library and for the
// programs that look at a line's files themselves. Header only and of
// internal linkage, so the library exports nothing more than its calls.
#ifndef PELMORA_GPIO_PATHS_H
#define PELMORA_GPIO_PATHS_H

#include <stddef.h>
#include <stdio.h>

// The folder of export, unexport and each exported line's gpioN/.
const char kGpioDir[] = "/sys/class/gpio";

// Room for any line's file below, whatever its number.
enum { kGpioPathSize = 64 };

// Writes the path of the line's file, or of its folder when file is NULL,
// into path (size bytes); returns path.
static inline const char* gpioLinePath(char* path, size_t size, int line, const char* file) {
  if (file)
    snprintf(path, size, "%s/gpio%d/%s", kGpioDir, line, file);
  else
    snprintf(path, size, "%s/gpio%d", kGpioDir, line);
  return path;
}

#endif
