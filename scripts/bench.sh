#!/usr/bin/env bash
# Builds an optimised module and runs every benchmark: the Google Benchmark
# suite (pass-through, reopening, teardown), then peak memory with the demo.
# With --plot it also redraws docs/memory.svg.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh python3
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DDORVEL_BUILD_TESTS=OFF -DDORVEL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/release -j "$(nproc)"

status=0
./build/release/benchmarks/dorvel_bench --benchmark_color=false || status=1
echo
bash benchmarks/memory.sh build/release/demo/dorvel_demo || status=1
if [ "${1:-}" = "--plot" ]; then
  python3 benchmarks/plot_memory.py build/release/demo/dorvel_demo docs/memory.svg
fi
exit "$status"
