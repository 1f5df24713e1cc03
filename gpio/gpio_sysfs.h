// Sysfs GPIO access: one call does one thing to one line through
// /sys/class/gpio and returns a status. Exported with C linkage so the
// symbols carry their plain names.
//
// Transfer calls return 0 on success, the negative result of open (-1) when
// the file cannot be opened, and the call's own descriptor number when the
// write or read moved another count than expected (-1 where that number
// would be 0). Each failure prints one perror line on standard error.
#ifndef PELMORA_GPIO_SYSFS_H
#define PELMORA_GPIO_SYSFS_H

#ifdef __cplusplus
extern "C" {
#endif

int gpioExport(int gpio);
int gpioUnexport(int gpio);
// output non-zero writes "out", zero writes "in".
int gpioSetDirection(int gpio, int output);
// value non-zero writes "1", zero writes "0".
int gpioSetValue(int gpio, int value);
// Stores 0 when the value file's first byte is '0', 1 for any other byte;
// leaves *value untouched on failure.
int gpioGetValue(int gpio, int *value);
// Writes edge and its terminating zero byte, unchecked.
int gpioSetEdge(int gpio, const char *edge);
// Opens the value file read-only and non-blocking; the descriptor is the
// caller's until gpioClose. Returns the descriptor or the negative result.
int gpioOpen(int gpio);
// Returns the result of close.
int gpioClose(int fd);
// value non-zero writes "1", zero writes "0".
int gpioActiveLow(int gpio, int value);

#ifdef __cplusplus
}
#endif

#endif
