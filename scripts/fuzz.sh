#!/usr/bin/env bash
# Builds the libFuzzer target with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs it for a bounded time (seconds, default
# 60) from the seed corpus in fuzz/corpus; then the description cache's
# reader for a third of that time, from fuzz/corpus-cache. Exits non-zero on
# any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
bash scripts/install-deps.sh clang libclang-rt-dev
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORVEL_WARNINGS_AS_ERRORS=ON \
  -DDORVEL_BUILD_FUZZER=ON -DDORVEL_SANITIZE=address,undefined \
  -DDORVEL_BUILD_TESTS=OFF -DDORVEL_BUILD_DEMO=OFF >/dev/null
cmake --build build/fuzz --target dorvel_fuzz dorvel_fuzz_cache_text -j "$(nproc)"

# New inputs go to a scratch folder; the committed seeds are only read.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
./build/fuzz/fuzz/dorvel_fuzz -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
  -artifact_prefix=build/fuzz/ "$work" fuzz/corpus
# The description cache's reader, for a third of the time (it is small).
cache_seconds=$(((seconds + 2) / 3))
mkdir -p "$work/cache"
./build/fuzz/fuzz/dorvel_fuzz_cache_text -max_total_time="$cache_seconds" -max_len=2048 -print_final_stats=1 \
  -artifact_prefix=build/fuzz/cache- "$work/cache" fuzz/corpus-cache
echo "fuzzing: ${seconds} s of operations and ${cache_seconds} s of cache files, no finding"
