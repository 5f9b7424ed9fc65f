#!/usr/bin/env bash
# Frames kept for temporal filters, in a real host (not run by CI): peak
# memory of a long splice of large frames with the module against the same
# script without it, at several limits, with and without Prefetch(4); and the
# time of temporal filters over FFMS2 parts with the module against without.
# Prints a Markdown table with each target's verdict; exits non-zero when one
# is missed.
#   bash benchmarks/kept_frames.sh [BUILD_DIR]   (default build/release)
#   AVISYNTH_PREFIX      the host (default: ../shared/hosts/avisynth-3.7.5)
#   DORVEL_FFMS2_PLUGIN  FFMS2 (default: ../shared/plugins/ffms2-2.40/libffms2.so)
#   ROUNDS               timing rounds, the fastest counting (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
host="$(cd "${AVISYNTH_PREFIX:-../shared/hosts/avisynth-3.7.5}" && pwd)"
ffms2="${DORVEL_FFMS2_PLUGIN:-$(cd ../shared/plugins/ffms2-2.40 && pwd)/libffms2.so}"
rounds="${ROUNDS:-5}"
name="$(basename "$host")"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DAVISYNTH_PREFIX="$host" -DDORVEL_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j 2 --target DorvelFilter "dorvel_run_$name" >/dev/null
runner="$build/realhost/dorvel_run_$name"
work="$build/kept-frames"
mkdir -p "$work"
work="$(cd "$work" && pwd)"

# Four parts of 720p H.264, 50 frames each: 200 frames.
for i in 0 1 2 3; do
  file="$work/hd$i.mkv"
  [ -s "$file" ] || ffmpeg -nostdin -loglevel error -y -f lavfi \
    -i "testsrc2=size=1280x720:rate=25,trim=start_frame=$((i * 50)):end_frame=$((i * 50 + 50)),setpts=PTS-STARTPTS" \
    -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p "$file"
done

# run SCRIPT: "seconds peak_KiB"; a script that fails ends the benchmark.
run() {
  if ! /usr/bin/time -o "$work/time.txt" -f "%e %M" "$runner" --fetch-only "$1" >"$work/run.txt" 2>&1; then
    echo "$1 failed:" >&2
    cat "$work/run.txt" >&2
    exit 1
  fi
  cat "$work/time.txt"
}

# The long splice: 12 parts of 30 frames of 1920x1080 16-bit 4:4:4 under
# TemporalSoften(7), SetMemoryMax(256). splice LIMIT PREFETCH DEFERRED
splice() {
  local part='Src(i)'
  [ "$3" = 1 ] && part='DorvelFilter("Src", [i], T)'
  cat <<AVS
SetMemoryMax(256)
DorvelFilterLimit($1)
global T = BlankClip(length=30, width=1920, height=1080, pixel_type="YUV444P16", audio_rate=0)
function Src(int i) { return BlankClip(T, color_yuv=\$100000 * i + \$8080).Invert() }
function Part(int i) { return $part.TemporalSoften(7, 4, 8) }
v = Part(1)
for (i = 2, 12) { v = v ++ Part(i) }
v$([ "$2" = 1 ] && echo '.Prefetch(4)' || true)
AVS
}

# The FFMS2 parts under a temporal filter. decoded RADIUS PREFETCH DEFERRED
decoded() {
  echo "LoadPlugin(\"$ffms2\")"
  echo "T = BlankClip(FFVideoSource(\"$work/hd0.mkv\"), length=50)"
  local parts=()
  for i in 0 1 2 3; do
    if [ "$3" = 1 ]; then
      parts+=("DorvelFilter(\"FFVideoSource\", [\"$work/hd$i.mkv\"], T).TemporalSoften($1, 4, 8)")
    else
      parts+=("FFVideoSource(\"$work/hd$i.mkv\").TemporalSoften($1, 4, 8)")
    fi
  done
  local IFS=+
  echo "v = ${parts[*]}"
  echo "v$([ "$2" = 1 ] && echo '.Prefetch(4)' || true)"
}

passed=0 failed=0
verdict() {  # RATIO TARGET: sets $judged, and counts it
  if awk "BEGIN { exit !($1 <= $2) }"; then
    judged=met passed=$((passed + 1))
  else
    judged=MISSED failed=$((failed + 1))
  fi
}

echo "| script | without the module | with it | ratio | target | verdict |"
echo "|---|---:|---:|---:|---:|---|"
for prefetch in 0 1; do
  splice 4 "$prefetch" 0 >"$work/splice-direct-$prefetch.avs"
  read -r _ base < <(run "$work/splice-direct-$prefetch.avs")
  for limit in 1 4 8; do
    splice "$limit" "$prefetch" 1 >"$work/splice-$limit-$prefetch.avs"
    read -r _ peak < <(run "$work/splice-$limit-$prefetch.avs")
    ratio=$(awk "BEGIN { printf \"%.3f\", $peak / $base }")
    label="long splice, limit $limit$([ "$prefetch" = 1 ] && echo ', Prefetch(4)' || true)"
    verdict "$ratio" 1.15
    echo "| $label: peak memory | $((base / 1024)) MiB | $((peak / 1024)) MiB | $ratio | 1.15 | $judged |"
  done
done

for prefetch in 0 1; do
  radius=$([ "$prefetch" = 1 ] && echo 3 || echo 5)
  decoded "$radius" "$prefetch" 0 >"$work/ffms2-direct-$prefetch.avs"
  decoded "$radius" "$prefetch" 1 >"$work/ffms2-module-$prefetch.avs"
  run "$work/ffms2-direct-$prefetch.avs" >/dev/null  # FFMS2 indexes the files once
  best_direct=999999 best_module=999999
  for r in $(seq "$rounds"); do
    read -r t _ < <(run "$work/ffms2-direct-$prefetch.avs")
    best_direct=$(awk "BEGIN { print ($t < $best_direct) ? $t : $best_direct }")
    read -r t _ < <(run "$work/ffms2-module-$prefetch.avs")
    best_module=$(awk "BEGIN { print ($t < $best_module) ? $t : $best_module }")
  done
  ratio=$(awk "BEGIN { printf \"%.3f\", $best_module / $best_direct }")
  label="TemporalSoften($radius)$([ "$prefetch" = 1 ] && echo '.Prefetch(4)' || true) over 4 FFMS2 parts, 720p, 200 frames: time"
  verdict "$ratio" 1.1
  echo "| $label | ${best_direct} s | ${best_module} s | $ratio | 1.1 | $judged |"
done
echo
echo "${passed} met, ${failed} missed"
[ "$failed" -eq 0 ]
