#!/usr/bin/env bash
# What each threading mode a script may force on "DorvelFilter" does under
# Prefetch(4): 40 counting sources that may be entered by one thread at a time
# (0.3 ms a request, 100 frames each), spliced under limit 2. Prints, per mode,
# the most threads seen inside one source at once, the openings, and the time
# per frame. Run by hand; needs a build with the real-host suite:
#   bash benchmarks/threading_modes.sh build/DIR/realhost/dorvel_run_avisynth-3.7.5
set -euo pipefail
runner="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sources=40
frames=100

echo "| mode forced | threads inside one source | openings | ns per frame |"
echo "|---|---:|---:|---:|"
for mode in none 3 2; do
  script="$work/modes-$mode.avs"
  {
    [ "$mode" = none ] || echo "SetFilterMTMode(\"DorvelFilter\", $mode, true)"
    echo "t = BlankClip(length=$frames, width=64, height=48, fps=25, pixel_type=\"YV12\", audio_rate=0)"
    echo "DorvelFilterLimit(2)"
    printf 'AlignedSplice('
    for ((i = 0; i < sources; i++)); do
      [ "$i" -eq 0 ] || printf ', '
      printf 'DorvelFilter("CountingSource", [%d, ["frames", %d], ["audio_rate", 0], ["mt_mode", 3], ["delay_us", 300]], t)' \
        "$i" "$frames"
    done
    echo ").Prefetch(4)"
  } >"$script"
  start=$(date +%s%N)
  output=$("$runner" --fetch-only "$script")
  end=$(date +%s%N)
  opens=$(sed -n 's/.*counting_opens=\([0-9]*\).*/\1/p' <<<"$output")
  inside=$(sed -n 's/.*counting_most_inside=\([0-9]*\).*/\1/p' <<<"$output")
  echo "| $mode | $inside | $opens | $(((end - start) / (sources * frames))) |"
done
