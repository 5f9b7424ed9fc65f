// How every benchmark repeats: the fastest of several runs is reported.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

inline benchmark::internal::Benchmark* Repeated(benchmark::internal::Benchmark* benchmark, int times = 5) {
  return benchmark->Repetitions(times)->ReportAggregatesOnly(true)->ComputeStatistics(
      "min", [](const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); });
}
