// What a test or benchmark can see of a running process from outside: its
// open descriptors, the processor time it has used, the signals it
// catches, and how it ended.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "process.h"

// What its open descriptors point to (paths, "pipe:[...]", ...); empty
// when the process is gone.
std::vector<std::string> openDescriptors(pid_t pid);

// How many descriptors it has open, or -1 when it is gone.
int openDescriptorCount(pid_t pid);

// Its descriptors whose target starts with prefix.
int descriptorsInto(pid_t pid, const std::string& prefix);

// User plus system time of the process so far, in seconds; -1 when gone.
double cpuSeconds(pid_t pid);

// Processor seconds the child used over about one second of wall time,
// reading its output meanwhile so a full pipe cannot stall it.
double cpuOverOneSecond(Child* child);

// A waiting program uses a few milliseconds per second; a spinning one a
// whole core, or half of one on a busy machine.
const double kSpinShare = 0.25;

// True once it catches every signal in sigs (its handlers are installed).
bool catchesSignals(pid_t pid, const std::vector<int>& sigs);

// The test may run with the interrupt ignored (a background job inherits
// that, and so would every child): give children the console's default.
void defaultStopSignals();

// How the child ended, for failure messages.
std::string endOf(const Child& child);

// True when the child was killed by sig, without a core dump.
bool killedBy(const Child& child, int sig);
