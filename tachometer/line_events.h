// The tachometer's --events mode: line 397 requested through the kernel's
// GPIO character device as an input with both edges, its level changes
// read as the kernel stamped them (v2 where the kernel has it, else v1).
#ifndef PELMORA_TACHOMETER_LINE_EVENTS_H
#define PELMORA_TACHOMETER_LINE_EVENTS_H

#include <stddef.h>
#include <stdint.h>

// Events taken from the kernel in one read.
const size_t kEventBatch = 64;

// One level change: the new level and when the kernel saw it, on
// CLOCK_MONOTONIC.
struct LineChange {
  int level;
  int64_t monotonicNs;
};

struct LineEvents {
  int line;
  int fd;                   // the request's descriptor; -1: none
  int version;              // 2 or 1
  bool clockKnown;          // v1: the clock of its stamps is told by the first
  bool realtime;            // stamps on CLOCK_REALTIME (v1 before 5.7)
  bool beforeFiveSeven;     // the kernel's release, for clocks too close to tell
  bool stepPending;         // the time of day stepped; read events cannot be placed
  int64_t offsetNs;         // CLOCK_REALTIME less CLOCK_MONOTONIC at the latest wake
  uint32_t seqno;           // v2: the latest event's sequence number
  unsigned long long lost;  // v2: changes lost since start
  bool readable;            // the latest read worked
  int64_t failedNs;         // monotonic time of the latest failed read
  LineChange changes[kEventBatch];  // read, not yet handed out
  size_t next;
  size_t count;
};

// Requests line (an input, both edges) from the chip that holds it; false,
// with one line on standard error, when it cannot. PELMORA_GPIO_EVENTS=v1
// in the environment skips v2 (for the bench and tests on a v2 kernel).
bool requestLineEvents(int line, LineEvents* events);

// The next change, waiting at most waitMs for one; false when none came.
// A read that fails is said once on standard error and tried again
// 100 ms later until it works.
bool nextLineChange(LineEvents* events, int waitMs, LineChange* change);

// Gives the line back to the kernel.
void releaseLineEvents(LineEvents* events);

#endif
