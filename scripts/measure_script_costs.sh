#!/usr/bin/env bash
# Measures how the module changes what a script costs, for the README: how
# many times each script's sources are opened and how long it takes to play,
# with the module and without; with --memory also the host's frame cache over
# two passes of a 300-part splice. Builds the measuring program against one
# host, makes the suite's media beside it, and prints Markdown tables. Run by
# hand; the tests do not run it.
#   bash scripts/measure_script_costs.sh [--memory]
# AVISYNTH_PREFIX names the host (by default ../shared/hosts/avisynth-3.7.5).
set -euo pipefail
cd "$(dirname "$0")/.."
host="$(cd "${AVISYNTH_PREFIX:-../shared/hosts/avisynth-3.7.5}" && pwd)"
name="$(basename "$host")"
build=build/costs
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DAVISYNTH_PREFIX="$host" -DDORVEL_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --target "dorvel_costs_$name" -j "$(nproc)" >/dev/null
bash realhost/support/make_media.sh "$build/media" >/dev/null
program="$build/realhost/dorvel_costs_$name" media="$(cd "$build/media" && pwd)"
"$program" "$media"
if [ "${1:-}" = --memory ]; then
  printf '\n| 300 parts read twice | cache | after loading | after one pass | after two |\n|---|---|---:|---:|---:|\n'
  for kind in module direct; do
    for max in 0 256; do "$program" "$media" --memory "$kind" "$max"; done
  done
fi
