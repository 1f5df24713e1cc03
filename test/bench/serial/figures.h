// The figures the serial benchmarks print for a set of measured times.
#pragma once

#include <algorithm>
#include <vector>

struct Figures {
  double median;
  double p99;
};

inline Figures figuresOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return {0, 0};
  return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}
