// Pure logic of the sysfs GPIO stand-in: input waveforms on the monotonic
// clock, the kernel's way of reading attribute text, and the control
// protocol's small conversions. No I/O here; gpio_sim and its tests share it.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

enum WaveKind { kWaveConst, kWaveInterval, kWaveRpm, kWaveScript };

struct ScriptStep {
  int level;
  int64_t offsetNs;  // after the wave's start
};

struct Wave {
  WaveKind kind = kWaveConst;
  int64_t startNs = 0;
  int level = 0;            // kWaveConst
  int64_t intervalNs = 0;   // kWaveInterval: time between changes
  double rpm = 0;           // kWaveRpm: two changes per revolution
  std::vector<ScriptStep> steps;  // kWaveScript, offsets strictly ascending
};

// Builds a wave from the words after "wave LINE" ("const 1", "interval 500",
// "rpm 600", "script 1@0 0@20"), starting at startNs. False with *error set
// when the words do not describe a wave.
bool parseWave(const std::vector<std::string>& words, int64_t startNs, Wave* wave,
               std::string* error);

// Level (0 or 1) of the wave at time t; a change at t is already visible.
int waveLevel(const Wave& wave, int64_t t);

// Number of level changes of the wave at times in [from, to).
int64_t waveChanges(const Wave& wave, int64_t from, int64_t to);

// Edges a line reports, as bits: changes to physical level 1, to level 0.
const int kEdgeRising = 1;
const int kEdgeFalling = 2;

// Bits of an edge keyword ("none", "rising", "falling", "both") on the
// value file's level; active low swaps them, as the kernel does when it
// requests the interrupt. -1 for any other keyword.
int edgeMask(const std::string& edge, bool activeLow);

// Number of the wave's changes in [from, to) that mask selects, judged by
// the physical level after each change.
int64_t waveEdgeChanges(const Wave& wave, int mask, int64_t from, int64_t to);

// Time of the wave's first change after time t that mask selects;
// INT64_MAX when there is none.
int64_t waveNextEdge(const Wave& wave, int mask, int64_t t);

// The text of an attribute write as the kernel takes it: up to the first
// zero byte, without one trailing newline.
std::string attributeText(const char* data, size_t size);

// An integer as the kernel's kstrtol with base 0 reads it (decimal, 0x hex,
// leading 0 octal, optional sign). False on anything else or overflow.
bool parseKernelInteger(const std::string& text, long* value);

// Errno value for a name such as "EIO" or "EACCES"; false when unknown.
bool errnoFromName(const std::string& name, int* value);

// Lowercase hex of every byte, two digits each, no separators.
std::string hexBytes(const std::string& bytes);

// Splits a command line at blanks and tabs.
std::vector<std::string> splitWords(const std::string& line);

// A decimal int with nothing around it; false otherwise.
bool parseDecimalInt(const std::string& text, int* value);

// A decimal int64 with nothing around it; false otherwise.
bool parseDecimalInt64(const std::string& text, int64_t* value);
