#!/usr/bin/env bash
# Makes the real-host suite's test media in DIR: thirty H.264 files of 50
# frames, 320x240 at 25 fps, each a different stretch of a moving test
# pattern. Files already there are kept.
set -euo pipefail
dir="$1"
mkdir -p "$dir"
make_one() {
  local i="$1" dir="$2" file
  file="$dir/part$(printf '%02d' "$i").mkv"
  [ -s "$file" ] && return 0
  ffmpeg -nostdin -loglevel error -y -f lavfi \
    -i "testsrc2=size=320x240:rate=25,trim=start_frame=$((i * 50)):end_frame=$((i * 50 + 50)),setpts=PTS-STARTPTS" \
    -c:v libx264 -preset ultrafast -g 10 -pix_fmt yuv420p "$file.tmp.mkv"
  mv "$file.tmp.mkv" "$file"
}
export -f make_one
seq 0 29 | xargs -P "$(nproc)" -I{} bash -c 'make_one "$@"' _ {} "$dir"
echo "media: $(ls "$dir"/part*.mkv | wc -l) files in $dir"
