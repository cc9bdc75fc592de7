// Summaries of repeated measurements: the median, and the extremes beside it.
#pragma once

#include <algorithm>
#include <vector>

namespace bench {

struct Summary {
  double median = 0;
  double min = 0;
  double max = 0;
};

inline Summary summarize(std::vector<double> samples) {
  Summary summary;
  if (samples.empty()) return summary;
  std::sort(samples.begin(), samples.end());
  size_t middle = samples.size() / 2;
  summary.median =
      samples.size() % 2 == 1 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
  summary.min = samples.front();
  summary.max = samples.back();
  return summary;
}

}  // namespace bench
