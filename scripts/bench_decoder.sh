#!/usr/bin/env bash
# The real-decoder memory benchmark (not run by CI): builds the module twice,
# with and without returning freed memory, and the real-host runner, makes 300
# short H.264 files, and measures FFMS2 behind DorvelFilter in a real host.
# With --plot it also redraws docs/decoder_memory.svg. Other arguments go to
# benchmarks/decoder_memory.py (--repeat N, --limits 1,4, and --cases with
# some of splice, chunk, prefetch and stacked: the whole splice at each limit;
# one chunk of it with and without the module; the splice of 40 files read
# through Prefetch(4) with and without the module; four long files read at
# once through Prefetch(4), stacked and interleaved, with and without the
# module, with the time to the first frame).
#   AVISYNTH_PREFIX      the host (default: ../shared/hosts/avisynth-3.7.5)
#   DORVEL_FFMS2_PLUGIN  FFMS2 (default: ../shared/plugins/ffms2-2.40/libffms2.so)
set -euo pipefail
cd "$(dirname "$0")/.."

host="${AVISYNTH_PREFIX:-$(cd ../shared/hosts/avisynth-3.7.5 && pwd)}"
ffms2="${DORVEL_FFMS2_PLUGIN:-$(cd ../shared/plugins/ffms2-2.40 && pwd)/libffms2.so}"
plot=()
if [ "${1:-}" = "--plot" ]; then
  plot=(--plot docs/decoder_memory.svg)
  shift
fi
bash scripts/install-deps.sh ffmpeg python3

for returning in ON OFF; do
  cmake -S . -B "build/bench-returning-$returning" -DCMAKE_BUILD_TYPE=Release -DAVISYNTH_PREFIX="$host" \
    -DDORVEL_FFMS2_PLUGIN="$ffms2" -DDORVEL_RETURN_FREED_MEMORY="$returning" -DDORVEL_BUILD_TESTS=ON >/dev/null
  cmake --build "build/bench-returning-$returning" -j "$(nproc)" --target DorvelFilter \
    "dorvel_run_$(basename "$host")"
done
bash realhost/support/make_media.sh build/bench-media 300 1500

python3 benchmarks/decoder_memory.py \
  --runner "build/bench-returning-ON/realhost/dorvel_run_$(basename "$host")" \
  --returning build/bench-returning-ON/libDorvelFilter.so \
  --keeping build/bench-returning-OFF/libDorvelFilter.so \
  --ffms2 "$ffms2" --media build/bench-media "${plot[@]}" "$@"
