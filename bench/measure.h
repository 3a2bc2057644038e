// measure.h - what the gateway benchmarks measure with: a process's CPU time and percentiles.
#ifndef KESTARA_BENCH_MEASURE_H
#define KESTARA_BENCH_MEASURE_H

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

// CPU time a process has run, in nanoseconds (0 when it can't be read).
inline int64_t cpuNs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  int64_t ns = 0;
  in >> ns;
  return ns;
}

// The sample below which the fraction `p` of the samples lie; 0 for none.
inline double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[std::min(samples.size() - 1, static_cast<size_t>(p * samples.size()))];
}

}  // namespace bench

#endif  // KESTARA_BENCH_MEASURE_H
