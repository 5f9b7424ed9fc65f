#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test.
#   bash scripts/test.sh                     the ordinary build
#   bash scripts/test.sh address,undefined   under AddressSanitizer and UBSan
#   bash scripts/test.sh thread              under ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize="${1:-}"
bash scripts/install-deps.sh

build="build/test${sanitize:+-${sanitize//,/-}}"
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORVEL_WARNINGS_AS_ERRORS=ON)
if [ -n "$sanitize" ]; then
  options+=(-DDORVEL_SANITIZE="$sanitize")
else
  options+=(-DDORVEL_BUILD_BENCHMARKS=ON)  # built, not run: they are run by hand
fi

cmake -S . -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:${TSAN_OPTIONS:-}"
(cd "$build" && ctest --output-on-failure -j "$(nproc)")
