#!/usr/bin/env bash
# Makes test media in DIR: COUNT (default 30) Matroska files of 2 seconds,
# each with H.264 video (50 frames, 320x240 at 25 fps, a different stretch of
# a moving test pattern) and FLAC audio (48 kHz stereo, a tone of its own
# pitch; lossless, so decoded samples compare exactly), named part00.mkv,
# part01.mkv, ... (three digits from 100 files on). Files already there are
# kept.
set -euo pipefail
dir="$1" count="${2:-30}"
digits=$((count > 100 ? 3 : 2))
mkdir -p "$dir"
make_one() {
  local i="$1" dir="$2" digits="$3" file
  file="$dir/part$(printf "%0${digits}d" "$i").mkv"
  [ -s "$file" ] && return 0
  ffmpeg -nostdin -loglevel error -y -f lavfi \
    -i "testsrc2=size=320x240:rate=25,trim=start_frame=$((i * 50)):end_frame=$((i * 50 + 50)),setpts=PTS-STARTPTS" \
    -f lavfi -i "sine=frequency=$((220 + 20 * i)):sample_rate=48000:duration=2" \
    -c:v libx264 -preset ultrafast -g 10 -pix_fmt yuv420p -c:a flac -ac 2 -shortest "$file.tmp.mkv"
  mv "$file.tmp.mkv" "$file"
}
export -f make_one
seq 0 $((count - 1)) | xargs -P "$(nproc)" -I{} bash -c 'make_one "$@"' _ {} "$dir" "$digits"
echo "media: $(ls "$dir"/part*.mkv | wc -l) files in $dir"
