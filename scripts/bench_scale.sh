#!/usr/bin/env bash
# The scale benchmark (not run by CI): splices of 10,000 and 20,000 cheap
# parts (BlankClip, no decoder) in a real host, joined as a chain of `++` and
# as a balanced join, with every part behind DorvelFilter and without the
# module: load time, time to read every frame, peak memory. Builds the module
# and the real-host timing program first. Arguments go to
# benchmarks/splice_scale.py (--counts 10000,20000, --sweep 300,1000,2000,5000,
# --repeat N, --chain-rounds N).
#   AVISYNTH_PREFIX  the host (default: ../shared/hosts/avisynth-3.7.5)
set -euo pipefail
cd "$(dirname "$0")/.."

host="${AVISYNTH_PREFIX:-$(cd ../shared/hosts/avisynth-3.7.5 && pwd)}"
bash scripts/install-deps.sh python3

cmake -S . -B build/bench-scale -DCMAKE_BUILD_TYPE=Release -DAVISYNTH_PREFIX="$host" -DDORVEL_BUILD_TESTS=ON >/dev/null
cmake --build build/bench-scale -j "$(nproc)" --target DorvelFilter "dorvel_splice_scale_$(basename "$host")"

python3 benchmarks/splice_scale.py --runner "build/bench-scale/realhost/dorvel_splice_scale_$(basename "$host")" "$@"
