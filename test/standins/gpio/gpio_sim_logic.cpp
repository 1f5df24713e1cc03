// Pure logic of the sysfs GPIO stand-in; see gpio_sim_logic.h.
#include "gpio_sim_logic.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>

#include <cmath>

namespace {

// Changes of a periodic wave at times up to and including t.
int64_t periodicChangesUpTo(const Wave& wave, int64_t t) {
  if (t < wave.startNs) return 0;
  const int64_t elapsed = t - wave.startNs;
  if (wave.kind == kWaveInterval) return elapsed / wave.intervalNs;
  // One pulse per revolution: 2 * rpm changes per minute.
  return static_cast<int64_t>(std::floor(static_cast<long double>(elapsed) * wave.rpm / 30e9L));
}

// Changes k in (a, b] that mask selects: the level after change k is k & 1.
int64_t selectedIndices(int64_t a, int64_t b, int mask) {
  if (b <= a) return 0;
  const int64_t odd = (b + 1) / 2 - (a + 1) / 2;
  int64_t n = 0;
  if (mask & kEdgeRising) n += odd;
  if (mask & kEdgeFalling) n += (b - a) - odd;
  return n;
}

// Time of change k (k >= 1) of a periodic wave.
int64_t periodicChangeAt(const Wave& wave, int64_t k) {
  if (wave.kind == kWaveInterval) return wave.startNs + k * wave.intervalNs;
  int64_t t = wave.startNs + static_cast<int64_t>(std::ceil(static_cast<long double>(k) * 30e9L / wave.rpm));
  // The floating point may land a nanosecond off either way.
  while (periodicChangesUpTo(wave, t) < k) ++t;
  while (t > wave.startNs && periodicChangesUpTo(wave, t - 1) >= k) --t;
  return t;
}

bool parseLevel(const std::string& text, int* level) {
  if (text != "0" && text != "1") return false;
  *level = text[0] - '0';
  return true;
}

bool parseNonNegativeDouble(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double v = strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0) return false;
  *value = v;
  return true;
}

}  // namespace

bool parseWave(const std::vector<std::string>& words, int64_t startNs, Wave* wave,
               std::string* error) {
  Wave w;
  w.startNs = startNs;
  const std::string kind = words.empty() ? "" : words[0];
  if (kind == "const") {
    w.kind = kWaveConst;
    if (words.size() != 2 || !parseLevel(words[1], &w.level)) {
      *error = "usage: wave LINE const 0|1";
      return false;
    }
  } else if (kind == "interval") {
    w.kind = kWaveInterval;
    int64_t us = 0;
    if (words.size() != 2 || !parseDecimalInt64(words[1], &us) || us <= 0 ||
        us > INT64_MAX / 1000) {
      *error = "usage: wave LINE interval US (US > 0)";
      return false;
    }
    w.intervalNs = us * 1000;
  } else if (kind == "rpm") {
    w.kind = kWaveRpm;
    if (words.size() != 2 || !parseNonNegativeDouble(words[1], &w.rpm)) {
      *error = "usage: wave LINE rpm R (R >= 0)";
      return false;
    }
  } else if (kind == "script") {
    w.kind = kWaveScript;
    if (words.size() < 2) {
      *error = "usage: wave LINE script LEVEL@MS ...";
      return false;
    }
    for (size_t i = 1; i < words.size(); ++i) {
      const std::string& step = words[i];
      size_t at = step.find('@');
      ScriptStep s;
      double ms = 0;
      if (at == std::string::npos || !parseLevel(step.substr(0, at), &s.level) ||
          !parseNonNegativeDouble(step.substr(at + 1), &ms) || ms > 9e12) {
        *error = "bad script step '" + step + "' (want LEVEL@MS)";
        return false;
      }
      s.offsetNs = static_cast<int64_t>(std::llround(ms * 1e6));
      if (!w.steps.empty() && s.offsetNs <= w.steps.back().offsetNs) {
        *error = "script offsets must ascend";
        return false;
      }
      w.steps.push_back(s);
    }
  } else {
    *error = "unknown wave '" + kind + "' (const, interval, rpm, script)";
    return false;
  }
  *wave = w;
  return true;
}

int waveLevel(const Wave& wave, int64_t t) {
  switch (wave.kind) {
    case kWaveConst:
      return wave.level;
    case kWaveInterval:
    case kWaveRpm:
      return static_cast<int>(periodicChangesUpTo(wave, t) & 1);
    case kWaveScript: {
      int level = 0;
      for (const ScriptStep& s : wave.steps) {
        if (wave.startNs + s.offsetNs > t) break;
        level = s.level;
      }
      return level;
    }
  }
  return 0;
}

int64_t waveChanges(const Wave& wave, int64_t from, int64_t to) {
  if (to <= from) return 0;
  switch (wave.kind) {
    case kWaveConst:
      return 0;
    case kWaveInterval:
    case kWaveRpm:
      return periodicChangesUpTo(wave, to - 1) - periodicChangesUpTo(wave, from - 1);
    case kWaveScript: {
      int64_t count = 0;
      int previous = 0;
      for (const ScriptStep& s : wave.steps) {
        const int64_t at = wave.startNs + s.offsetNs;
        if (s.level != previous && at >= from && at < to) ++count;
        previous = s.level;
      }
      return count;
    }
  }
  return 0;
}

int edgeMask(const std::string& edge, bool activeLow) {
  int mask;
  if (edge == "none") {
    mask = 0;
  } else if (edge == "rising") {
    mask = kEdgeRising;
  } else if (edge == "falling") {
    mask = kEdgeFalling;
  } else if (edge == "both") {
    mask = kEdgeRising | kEdgeFalling;
  } else {
    return -1;
  }
  if (activeLow && (mask == kEdgeRising || mask == kEdgeFalling)) mask ^= kEdgeRising | kEdgeFalling;
  return mask;
}

int64_t waveEdgeChanges(const Wave& wave, int mask, int64_t from, int64_t to) {
  if (to <= from || mask == 0) return 0;
  switch (wave.kind) {
    case kWaveConst:
      return 0;
    case kWaveInterval:
    case kWaveRpm:
      return selectedIndices(periodicChangesUpTo(wave, from - 1), periodicChangesUpTo(wave, to - 1), mask);
    case kWaveScript: {
      int64_t count = 0;
      int previous = 0;
      for (const ScriptStep& s : wave.steps) {
        const int64_t at = wave.startNs + s.offsetNs;
        const int bit = s.level ? kEdgeRising : kEdgeFalling;
        if (s.level != previous && at >= from && at < to && (mask & bit)) ++count;
        previous = s.level;
      }
      return count;
    }
  }
  return 0;
}

int64_t waveNextEdge(const Wave& wave, int mask, int64_t t) {
  if (mask == 0) return INT64_MAX;
  switch (wave.kind) {
    case kWaveConst:
      return INT64_MAX;
    case kWaveInterval:
    case kWaveRpm: {
      if (wave.kind == kWaveRpm && wave.rpm <= 0) return INT64_MAX;
      int64_t k = periodicChangesUpTo(wave, t) + 1;
      if (!(mask & (k & 1 ? kEdgeRising : kEdgeFalling))) ++k;
      return periodicChangeAt(wave, k);
    }
    case kWaveScript: {
      int previous = 0;
      for (const ScriptStep& s : wave.steps) {
        const int64_t at = wave.startNs + s.offsetNs;
        const int bit = s.level ? kEdgeRising : kEdgeFalling;
        if (s.level != previous && at > t && (mask & bit)) return at;
        previous = s.level;
      }
      return INT64_MAX;
    }
  }
  return INT64_MAX;
}

std::string attributeText(const char* data, size_t size) {
  std::string text(data, size);
  size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool parseKernelInteger(const std::string& text, long* value) {
  if (text.empty() || isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *value = v;
  return true;
}

bool errnoFromName(const std::string& name, int* value) {
  static const struct {
    const char* name;
    int value;
  } kNames[] = {
      {"EPERM", EPERM},   {"ENOENT", ENOENT}, {"EINTR", EINTR},   {"EIO", EIO},
      {"ENXIO", ENXIO},   {"EBADF", EBADF},   {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM},
      {"EACCES", EACCES}, {"EBUSY", EBUSY},   {"ENODEV", ENODEV}, {"EINVAL", EINVAL},
      {"EMFILE", EMFILE}, {"ENFILE", ENFILE}, {"ENOSPC", ENOSPC}, {"EROFS", EROFS},
      {"ETIMEDOUT", ETIMEDOUT}, {"ENOTCONN", ENOTCONN},
  };
  for (const auto& entry : kNames) {
    if (name == entry.name) {
      *value = entry.value;
      return true;
    }
  }
  return false;
}

std::string hexBytes(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

std::vector<std::string> splitWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  for (char c : line) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

bool parseDecimalInt64(const std::string& text, int64_t* value) {
  if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-')) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || end == text.c_str()) return false;
  *value = v;
  return true;
}

bool parseDecimalInt(const std::string& text, int* value) {
  int64_t v = 0;
  if (!parseDecimalInt64(text, &v) || v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int>(v);
  return true;
}
