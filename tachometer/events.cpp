// The tachometer's --events mode, free of I/O; see events.h.
#include "events.h"

#include <stdlib.h>

#include "window.h"

namespace {

// The folder that holds path ("" for a path without one).
std::string parentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

}  // namespace

int chipOfLine(const std::vector<GpioChip>& sysfsChips, const std::vector<GpioChip>& devices, int line,
               int* offset) {
  for (size_t k = 0; k < sysfsChips.size(); ++k) {
    const GpioChip& chip = sysfsChips[k];
    if (line < chip.base || line - chip.base >= chip.lines) continue;
    *offset = line - chip.base;
    // The sysfs chip is ".../gpio/gpiochipBASE" inside its device's folder
    // or beside it, under the device the chip belongs to.
    const std::string owner = parentOf(parentOf(chip.folder));
    int alike = -1;
    int besides = -1;
    int alikeCount = 0;
    int besidesCount = 0;
    for (size_t d = 0; d < devices.size(); ++d) {
      if (!devices[d].folder.empty() && devices[d].folder == owner) return static_cast<int>(d);
      if (devices[d].label != chip.label || devices[d].lines != chip.lines) continue;
      alike = static_cast<int>(d);
      ++alikeCount;
      if (!owner.empty() && parentOf(devices[d].folder) == owner) {
        besides = static_cast<int>(d);
        ++besidesCount;
      }
    }
    if (alikeCount == 1) return alike;
    return besidesCount == 1 ? besides : -1;
  }
  return -1;
}

bool releaseBefore(const char* release, int major, int minor) {
  char* end = NULL;
  const long releaseMajor = strtol(release, &end, 10);
  if (end == release || *end != '.') return false;
  const char* minorText = end + 1;
  const long releaseMinor = strtol(minorText, &end, 10);
  if (end == minorText) return false;
  return releaseMajor < major || (releaseMajor == major && releaseMinor < minor);
}

bool stampsOnRealtime(int64_t stampNs, int64_t monotonicNs, int64_t realtimeNs, bool beforeFiveSeven) {
  if (llabs(realtimeNs - monotonicNs) < kClocksApartNs) return beforeFiveSeven;
  return llabs(realtimeNs - stampNs) < llabs(monotonicNs - stampNs);
}

bool clockStepped(int64_t offsetBeforeNs, int64_t offsetNowNs) {
  return llabs(offsetNowNs - offsetBeforeNs) > kClockStepNs;
}

int64_t monotonicStamp(int64_t stampNs, bool realtime, int64_t offsetNs, bool stepped, int64_t readNs) {
  if (!realtime) return stampNs < readNs ? stampNs : readNs;
  if (stepped) return readNs;
  const int64_t stamp = stampNs - offsetNs;
  return stamp < readNs ? stamp : readNs;
}

uint32_t changesLost(uint32_t seqnoBefore, uint32_t seqno) { return seqno - seqnoBefore - 1u; }

double changeElapsed(double changeMs, double windowStartMs) {
  return changeMs > windowStartMs ? changeMs - windowStartMs : 0.0;
}

bool closedByChange(unsigned int changes, int counts, double elapsedMs, bool still) {
  return !still && changes > 0 && !windowOpen(changes, counts, elapsedMs);
}

bool sayDue(bool waiting, double saidMs, double nowMs) { return waiting && nowMs - saidMs >= 1000.0; }
