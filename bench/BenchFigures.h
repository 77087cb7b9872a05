// Summaries the benchmarks print: percentiles of a sample and one aligned line.
#pragma once

#include <algorithm>
#include <cstdio>
#include <vector>

// The p-th percentile (0..1) of an ascending sample, nearest rank; 0 for none.
inline double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t index = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[index];
}

// "title  n values  min .. p50 .. p99 .. max .." in the unit given.
inline void printSpread(const char* title, std::vector<double> values, const char* unit) {
  std::sort(values.begin(), values.end());
  std::printf("%-44s %5zu values   min %7.3f %s   p50 %7.3f %s   p99 %7.3f %s   max %7.3f %s\n",
              title, values.size(), values.empty() ? 0.0 : values.front(), unit,
              percentile(values, 0.50), unit, percentile(values, 0.99), unit,
              values.empty() ? 0.0 : values.back(), unit);
}
