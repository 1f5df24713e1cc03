// The tachometer's --events mode, free of I/O: which GPIO chip holds the
// line, on which clock the kernel stamps its events, how a stamp becomes
// a time of the node's clock, and how many changes a gap in the sequence
// numbers lost.
#ifndef PELMORA_TACHOMETER_EVENTS_H
#define PELMORA_TACHOMETER_EVENTS_H

#include <stdint.h>

#include <string>
#include <vector>

// A change of the time of day's offset from the monotonic clock larger
// than this between two wakes is a step, not a slew (at most 0.5 ms/s).
const int64_t kClockStepNs = 1000000;

// Clocks closer than this cannot tell by a stamp which one stamped it (a
// board without a battery clock counts its time of day from boot too).
const int64_t kClocksApartNs = 10 * 1000000000LL;

// One GPIO chip, as sysfs shows it (/sys/class/gpio/gpiochipBASE: base,
// lines, label, its folder resolved) or as its character device does
// (/dev/gpiochipN: base -1, lines and label from the device, folder the
// device's own in sysfs, resolved).
struct GpioChip {
  std::string device;
  std::string folder;
  std::string label;
  int base;
  int lines;
};

// Index in devices of the character device of the sysfs chip that holds
// line, with the line's offset in *offset; -1 when no chip holds it or no
// device is surely that chip's. Some kernels put the sysfs chip's folder
// inside its device's; most put both under the device that owns the chip,
// where label and line count tell chips apart.
int chipOfLine(const std::vector<GpioChip>& sysfsChips, const std::vector<GpioChip>& devices, int line,
               int* offset);

// True when a kernel release ("4.9.140-tegra") is older than major.minor;
// false for text that does not start with a version.
bool releaseBefore(const char* release, int major, int minor);

// True when the stamp of the first event is on CLOCK_REALTIME rather than
// CLOCK_MONOTONIC, given both clocks read right after it: it is the one
// closer to the stamp. When the clocks are too close to tell, v1 events of
// kernels before 5.7 are on CLOCK_REALTIME (beforeFiveSeven).
bool stampsOnRealtime(int64_t stampNs, int64_t monotonicNs, int64_t realtimeNs, bool beforeFiveSeven);

// True when the time of day stepped between two wakes that measured its
// offset from the monotonic clock as before and now.
bool clockStepped(int64_t offsetBeforeNs, int64_t offsetNowNs);

// A stamp as a CLOCK_MONOTONIC time: as it is, or for CLOCK_REALTIME less
// the clocks' offset at the read that returned it. Where the time of day
// stepped since the wake before, the stamp cannot be placed: the read's
// monotonic time stands for it. Never later than the read.
int64_t monotonicStamp(int64_t stampNs, bool realtime, int64_t offsetNs, bool stepped, int64_t readNs);

// Changes lost between the event numbered before and the one numbered now
// (v2 sequence numbers start at 1 and wrap at 2^32).
uint32_t changesLost(uint32_t seqnoBefore, uint32_t seqno);

// Milliseconds from the window's start to a change stamped at changeMs
// (the node's clock); 0 for a change stamped before the window began, as
// the first may be, between the request and the clock's start.
double changeElapsed(double changeMs, double windowStartMs);

// True when the window closed at its latest change (the counts-th, or the
// first past the time limit) rather than at a still wheel or a shutdown;
// in --events mode it then ends at that change's stamp.
bool closedByChange(unsigned int changes, int counts, double elapsedMs, bool still);

// True when something waits to be said and a second has passed since it
// was last said at saidMs.
bool sayDue(bool waiting, double saidMs, double nowMs);

#endif
