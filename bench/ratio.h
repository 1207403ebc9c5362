// Ratios of two pieces of work measured side by side.  The machine is
// shared and noisy: each piece is timed in the processor time of the
// calling thread (time spent waiting for the processor does not count),
// the two alternate so that slow periods fall on both, and the ratio is
// the median of the ratios of the pairs, so that a pair that met an
// interruption does not weigh more than any other.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

// Processor seconds used by the calling thread.
inline double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The processor seconds of one call of `work`.
template <class Work>
double ThreadSecondsOf(Work&& work) {
  double start = ThreadSeconds();
  work();
  return ThreadSeconds() - start;
}

// Collects the ratio of each pair; Median() is the figure to report.
class PairedRatios {
 public:
  template <class A, class B>
  void Pair(A&& a, B&& b) {
    double first = ThreadSecondsOf(a);
    double second = ThreadSecondsOf(b);
    if (second > 0) ratios_.push_back(first / second);
  }

  double Median() {
    if (ratios_.empty()) return 0;
    auto middle = ratios_.begin() + static_cast<long>(ratios_.size() / 2);
    std::nth_element(ratios_.begin(), middle, ratios_.end());
    return *middle;
  }

 private:
  std::vector<double> ratios_;
};

// The main of a ratio benchmark.  With QM_BENCH_PROFILE=N in the
// environment only `profile(N)` runs, for instruction counts under
// callgrind (README); otherwise the benchmarks run, and the last line says
// `ratio` against its target.
template <class Profile>
int RatioMain(int argc, char** argv, const char* name, double target, const double& ratio,
              Profile&& profile) {
  if (const char* count = std::getenv("QM_BENCH_PROFILE")) {
    profile(std::atoi(count));
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  if (ratio > 0) std::printf("ratio %s: %.2f (target <= %.2f)\n", name, ratio, target);
  return 0;
}
