// What opening and closing cost: N filters under a limit of 4 visited in
// turn, so that every request reopens one and closes another; and N open
// filters destroyed. Neither may grow with N.
#include <vector>

#include "bench_host.h"
#include "benchmarks.h"
#include "repetitions.h"

namespace {

// What the host itself spends to make a source, ask it for a frame and
// drop it: the part of a reopen that is not the module's.
void BM_SourceAlone(benchmark::State& state) {
  BenchHost& host = BenchHost::Get();
  int id = 0;
  for (auto _ : state) {
    const PClip clip = host.Source("Tiny", id++);
    const PVideoFrame frame = clip->GetFrame(0, host.env());
    benchmark::DoNotOptimize(frame.get());
  }
}

void BM_Reopen(benchmark::State& state) {
  BenchHost& host = BenchHost::Get();
  host.Limit(4);
  const auto count = static_cast<std::size_t>(state.range(0));
  std::vector<PClip> filters;
  filters.reserve(count);
  for (std::size_t i = 0; i < count; ++i) filters.push_back(host.Deferred("Tiny", static_cast<int>(i), true));
  std::size_t next = 0;
  for (auto _ : state) {
    const PVideoFrame frame = filters[next]->GetFrame(0, host.env());
    benchmark::DoNotOptimize(frame.get());
    if (++next == count) next = 0;
  }
}

void BM_Destroy(benchmark::State& state) {
  BenchHost& host = BenchHost::Get();
  host.Limit(-1);
  const auto count = static_cast<std::size_t>(state.range(0));
  std::vector<PClip> filters;
  filters.reserve(count);
  for (auto _ : state) {
    state.PauseTiming();
    for (std::size_t i = 0; i < count; ++i) filters.push_back(host.Deferred("Tiny", static_cast<int>(i), false));
    state.ResumeTiming();
    // Newest first: the order that would cost most if the list were walked
    // from its oldest end to find the filter leaving it.
    while (!filters.empty()) filters.pop_back();
  }
  state.counters["destructions"] = static_cast<double>(count);
}

}  // namespace

void RegisterChurnBenchmarks() {
  Repeated(benchmark::RegisterBenchmark("BM_SourceAlone", BM_SourceAlone));
  Repeated(benchmark::RegisterBenchmark("BM_Reopen", BM_Reopen)->Arg(10)->Arg(1000)->Arg(100000));
  Repeated(benchmark::RegisterBenchmark("BM_Destroy", BM_Destroy)->Arg(1000)->Arg(100000));
}
