// What the benchmarks share to print their figures: the clock, durations in ms or µs, medians.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace taviksms::bench {

using Clock = std::chrono::steady_clock;

inline double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

inline double us(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace taviksms::bench
