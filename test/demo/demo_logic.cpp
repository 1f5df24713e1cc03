// The demo's scripted run; see demo_logic.h.
#include "demo_logic.h"

#include <stdio.h>

std::vector<ScenarioStep> demoScenario(double rpm, double seconds) {
  if (seconds <= 0) return {};
  return {
      {0.15 * seconds, 0, "t1700"},
      {0.30 * seconds, 0, "s60"},
      {0.40 * seconds, 2 * rpm, ""},
      {0.55 * seconds, 0, "t1650 s100"},
      {0.70 * seconds, rpm / 2, ""},
      {0.85 * seconds, 0, "t1600 s90"},
  };
}

std::vector<RpmSegment> compareRpm(const std::vector<Sample>& truth, const std::vector<Sample>& published,
                                   double settle) {
  std::vector<RpmSegment> segments;
  for (size_t i = 0; i < truth.size(); ++i) {
    const double from = truth[i].t + settle;
    const double to = i + 1 < truth.size() ? truth[i + 1].t : 1e300;
    RpmSegment s = {truth[i].value, 0, 0, 0};
    for (const Sample& p : published) {
      if (p.t < from || p.t >= to) continue;
      s.meanPublished += p.value;
      ++s.windows;
    }
    if (s.windows == 0) continue;
    s.meanPublished /= s.windows;
    s.errorPercent = s.trueRpm > 0 ? 100.0 * (s.meanPublished - s.trueRpm) / s.trueRpm : 0;
    segments.push_back(s);
  }
  return segments;
}

DriveSummary summarizeDrive(const std::vector<int>& bytes) {
  DriveSummary d;
  std::vector<std::string> seen;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    std::string pair = std::to_string(bytes[i]) + "," + std::to_string(bytes[i + 1]);
    if (i == 0) d.first = pair;
    d.last = pair;
    bool known = false;
    for (const std::string& s : seen) known = known || s == pair;
    if (!known) seen.push_back(pair);
  }
  d.distinctPairs = seen.size();
  d.lastIsNeutral = d.last == "60,166";
  return d;
}

std::vector<int> readDriveRecordBytes(const std::string& path) {
  // Lines are "<seconds> <byte>", or "<seconds> open|close" for line events.
  std::vector<int> bytes;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return bytes;
  char line[128];
  while (fgets(line, sizeof line, f)) {
    double t;
    unsigned value;
    char rest[16];
    if (sscanf(line, "%lf %u%15s", &t, &value, rest) == 2 && value <= 255) bytes.push_back(static_cast<int>(value));
  }
  fclose(f);
  return bytes;
}
