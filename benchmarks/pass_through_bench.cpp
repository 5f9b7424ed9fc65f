// What a request costs through an open DorvelFilter, against the same request
// made of the source directly; each thread asks a clip of its own.
#include "bench_host.h"
#include "benchmarks.h"
#include "repetitions.h"

namespace {

constexpr int kMaxThreads = 2;

// Clips made once and kept open for every run: per source function, direct
// and deferred, one per thread.
PClip ClipFor(const char* function, bool deferred, int thread) {
  const int row = (function[0] == 'F' ? 0 : 2) + (deferred ? 1 : 0);
  return BenchHost::Get().Kept(static_cast<std::size_t>(row * kMaxThreads + thread), [&](BenchHost& host) {
    host.Limit(-1);
    return deferred ? host.Deferred(function, thread, false) : host.Source(function, thread);
  });
}

void Request(benchmark::State& state, const char* function, bool deferred) {
  const PClip clip = ClipFor(function, deferred, state.thread_index());
  IScriptEnvironment* env = BenchHost::Get().env();
  int n = 0;
  for (auto _ : state) {
    const PVideoFrame frame = clip->GetFrame(n, env);
    benchmark::DoNotOptimize(frame.get());
    n = (n + 1) & 1023;
  }
}

void BM_Fill_Direct(benchmark::State& state) { Request(state, "Fill", false); }
void BM_Fill_Deferred(benchmark::State& state) { Request(state, "Fill", true); }
void BM_Stored_Direct(benchmark::State& state) { Request(state, "Stored", false); }
void BM_Stored_Deferred(benchmark::State& state) { Request(state, "Stored", true); }

}  // namespace

void RegisterPassThroughBenchmarks() {
  for (auto* benchmark : {benchmark::RegisterBenchmark("BM_Fill_Direct", BM_Fill_Direct),
                          benchmark::RegisterBenchmark("BM_Fill_Deferred", BM_Fill_Deferred),
                          benchmark::RegisterBenchmark("BM_Stored_Direct", BM_Stored_Direct),
                          benchmark::RegisterBenchmark("BM_Stored_Deferred", BM_Stored_Deferred)}) {
    Repeated(benchmark->Threads(1)->Threads(kMaxThreads)->UseRealTime());
  }
}
