#!/usr/bin/env bash
# Makes test media in DIR: COUNT (default 30) Matroska files of 2 seconds,
# each with H.264 video (50 frames, 320x240 at 25 fps, a different stretch of
# a moving test pattern) and FLAC audio (48 kHz stereo, a tone of its own
# pitch; lossless, so decoded samples compare exactly), named part00.mkv,
# part01.mkv, ... (three digits from 100 files on). Beside them two files that
# differ from the parts: short30.mkv (30 frames, 1.2 s of audio) and
# rate44100.mkv (its audio at 44.1 kHz). With LONG_FRAMES, also four long files
# of that many frames each, long0-LONG_FRAMES.mkv to long3-LONG_FRAMES.mkv,
# each its own stretch of the pattern. With VARIED, also that many files of
# different lengths, 150 to 350 frames, named after their number and length
# (vary000-150.mkv, vary001-187.mkv, ...). Files already there are kept.
#   make_media.sh DIR [COUNT] [LONG_FRAMES] [VARIED]
set -euo pipefail
dir="$1" count="${2:-30}" long="${3:-0}" varied="${4:-0}"
digits=$((count > 100 ? 3 : 2))
mkdir -p "$dir"
# Two ctests of one build may both make the media at once: one waits.
exec 9>"$dir/.making"
flock 9
# make_file FILE FIRST_FRAME FRAMES AUDIO_RATE
make_file() {
  local file="$1" first="$2" frames="$3" rate="$4"
  [ -s "$file" ] && return 0
  ffmpeg -nostdin -loglevel error -y -f lavfi \
    -i "testsrc2=size=320x240:rate=25,trim=start_frame=$first:end_frame=$((first + frames)),setpts=PTS-STARTPTS" \
    -f lavfi -i "sine=frequency=$((220 + first * 2 / 5)):sample_rate=$rate:duration=$((frames * 40))ms" \
    -c:v libx264 -preset ultrafast -g 10 -pix_fmt yuv420p -c:a flac -ac 2 -shortest "$file.tmp.mkv"
  mv "$file.tmp.mkv" "$file"
}
make_one() {
  local i="$1" dir="$2" digits="$3"
  make_file "$dir/part$(printf "%0${digits}d" "$i").mkv" $((i * 50)) 50 48000
}
# The lengths step by 37 through 201 values, so neighbours differ; the
# stretches of the pattern start within its first 2,000 frames, which
# ffmpeg makes before the stretch.
make_varied() {
  local i="$1" dir="$2" frames=$((150 + $1 * 37 % 201))
  make_file "$dir/vary$(printf %03d "$i")-$frames.mkv" $((i * 97 % 2000)) "$frames" 48000
}
export -f make_file make_one make_varied
seq 0 $((count - 1)) | xargs -P "$(nproc)" -I{} bash -c 'make_one "$@"' _ {} "$dir" "$digits"
make_file "$dir/short30.mkv" 2000 30 48000
make_file "$dir/rate44100.mkv" 2500 50 44100
if [ "$long" -gt 0 ]; then
  for i in 0 1 2 3; do make_file "$dir/long$i-$long.mkv" $((20000 + i * long)) "$long" 48000 & done
  wait
fi
if [ "$varied" -gt 0 ]; then
  seq 0 $((varied - 1)) | xargs -P "$(nproc)" -I{} bash -c 'make_varied "$@"' _ {} "$dir"
fi
echo "media: $(ls "$dir"/part*.mkv | wc -l) files in $dir"
