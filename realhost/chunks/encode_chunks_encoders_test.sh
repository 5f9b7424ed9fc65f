#!/usr/bin/env bash
# scripts/encode_chunks.sh with each encoder, over a splice of four FFMS2
# parts with video and audio behind the module (200 frames, 8 s of 48 kHz
# stereo), in chunks of 60 frames, two jobs at a time:
# - x264 (--qp 0) and x265 (--lossless): the joined file decodes to exactly
#   the script's frames; SVT-AV1 has no lossless mode in the release at hand,
#   so its file must hold as many frames, each above 60 dB PSNR;
# - the audio muxed beside the video (FLAC, rendered once from the whole
#   script) decodes to exactly the samples the host gives for the script;
#   --no-audio leaves it out, and --audio-codec picks another encoder;
# - the progress output ends at the script's frame count, and the summary
#   names the time, the speed and the largest chunk's peak memory;
# - x265: a chunk of a single frame joins, and --check is ready;
# - a chunk that fails under x265 names its frames, machine and log, and
#   shows the host's message; a missing dorvel_y4m is named;
# - dorvel_y4m writes 4:4:4, 4:2:2, high bit depth and greyscale under the
#   names ffmpeg reads them by, and refuses RGB.
#   encode_chunks_encoders_test.sh SOURCE_DIR HOST_LIB_DIR MODULE FFMS2_PLUGIN MEDIA_DIR RUNNER Y4M
set -euo pipefail
source_dir="$1" hostlib="$2" module="$3" ffms2="$4" media="$5" runner="$6" y4m="$7"
encode="$source_dir/scripts/encode_chunks.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" LD_LIBRARY_PATH="$hostlib" DORVEL_Y4M="$y4m" ENCODE_CHUNKS_PROGRESS_SECONDS=1
mkdir -p "$HOME" "$work/parts"
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
for i in 1 2 3 4; do ln -s "$media/part0$i.mkv" "$work/parts/p$i.mkv"; done
cat >"$work/parts/splice.avs" <<EOF2
LoadPlugin("$ffms2")
LoadPlugin("$module")
DorvelFilterLimit(2)
V = BlankClip(FFVideoSource("p1.mkv"), length=50)
A = BlankClip(FFAudioSource("p1.mkv"))
function Part(string file, clip V, clip A) {
    return AudioDub(DorvelFilter("FFVideoSource", [file], V), DorvelFilter("FFAudioSource", [file], A))
}
Part("p1.mkv", V, A) ++ Part("p2.mkv", V, A) ++ Part("p3.mkv", V, A) ++ Part("p4.mkv", V, A)
EOF2
cd "$work"

digests() { "$runner" --no-load "$1" | grep -E '^frame ' | sed 's/ parity=.*//'; }
(cd parts && digests splice.avs) >script.txt
[ "$(wc -l <script.txt)" = 200 ] || fail "the script is not of 200 frames"
(cd parts && python3 "$source_dir/scripts/script_audio.py" splice.avs 2>/dev/null) >script.pcm
[ "$(stat -c %s script.pcm)" = $((8 * 48000 * 2 * 2)) ] || fail "the script's audio is not 8 s of 16-bit stereo"
audio_of() { ffmpeg -nostdin -loglevel error -i "$1" -map 0:a -f s16le -; }
streams_of() { ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$1" | tr '\n' ' '; }

for encoder in x264 x265 svt-av1; do
  case "$encoder" in
    x264) options=(--qp 0 --preset ultrafast) extra=() ;;
    x265) options=(--lossless --preset ultrafast) extra=(--no-audio) ;;
    svt-av1) options=(--rc 0 --aq-mode 0 --qp 1 --preset 8 --enable-tf 0) extra=(--audio-codec pcm_s16le) ;;
  esac
  bash "$encode" --encoder "$encoder" "${extra[@]}" parts/splice.avs 60 "$encoder.mkv" --jobs 2 -- "${options[@]}" \
    >"$encoder.out" 2>"$encoder.err" || fail "$encoder: $(cat "$encoder.err")"
  printf 'LoadPlugin("%s")\nFFVideoSource("%s", cache=false)\n' "$ffms2" "$work/$encoder.mkv" >"$encoder.avs"
  digests "$encoder.avs" >"$encoder.txt"
  [ "$(wc -l <"$encoder.txt")" = 200 ] || fail "$encoder: the joined file does not decode to 200 frames"
  if [ "$encoder" = svt-av1 ]; then
    psnr=$( (cd parts && "$y4m" splice.avs 2>/dev/null) | ffmpeg -nostdin -i "$encoder.mkv" -f yuv4mpegpipe -i - \
      -lavfi '[0:v][1:v]psnr' -f null - 2>&1 | sed -n 's/.*PSNR .* average:\([0-9.inf]*\).*/\1/p')
    [ -n "$psnr" ] || fail "$encoder: no PSNR measured"
    awk -v p="$psnr" 'BEGIN { exit !(p == "inf" || p > 60) }' || fail "$encoder: PSNR $psnr dB, not above 60"
    echo "$encoder: 200 frames at $psnr dB PSNR"
  else
    cmp -s script.txt "$encoder.txt" || fail "$encoder: the joined file's frames differ from the script's"
    echo "$encoder: the joined file decodes to the script's 200 frames"
  fi
  # The last progress line counts every frame; the summary has its figures.
  last=$(grep '^encode_chunks: chunks ' "$encoder.err" | tail -n 1)
  [[ "$last" == *"chunks 4 done, 0 running, 0 left; frames 200 of 200;"* ]] ||
    fail "$encoder: the last progress line is '$last'"
  grep -q "^encode_chunks: $work/$encoder.mkv: 200 frames from 4 chunks in 0:0.:..; 200 encoded in 0:0.:.. at [0-9.]* fps, then joined in 0:0.:..; peak memory of the largest chunk [0-9]* MiB$" \
    "$encoder.out" || fail "$encoder: no summary: $(cat "$encoder.out")"
  # Both speeds measure the same frames over the same time.
  speed=$(sed -n 's/.* at \([0-9.]*\) fps, then joined.*/\1/p' "$encoder.out")
  [[ "$last" == *"; $speed fps encoded since the start;"* ]] ||
    fail "$encoder: the summary's speed ($speed fps) is not the last progress line's: $last"
done

# x265 writes raw HEVC, which mkvmerge does not recognise when it holds a
# single frame: a chunk of one frame still joins, and --check, which encodes
# frame 0 alone, says this machine is ready.
printf 'BlankClip(length=3, width=64, height=64, pixel_type="YV12").ShowFrameNumber()\n' >three.avs
bash "$encode" --encoder x265 --check three.avs 2 three.mkv -- --lossless --preset ultrafast >check.out 2>check.err ||
  fail "x265 --check: $(cat check.out check.err)"
grep -q "^encode_chunks: this machine: ready" check.out || fail "x265 --check: $(cat check.out)"
bash "$encode" --encoder x265 --no-audio three.avs 2 three.mkv -- --lossless --preset ultrafast >three.out 2>three.err ||
  fail "x265 with a chunk of one frame: $(cat three.err)"
printf 'LoadPlugin("%s")\nFFVideoSource("%s", cache=false)\n' "$ffms2" "$work/three.mkv" >three-mkv.avs
cmp -s <(digests three.avs) <(digests three-mkv.avs) ||
  fail "x265: the file of a one-frame chunk's join differs from the script's 3 frames"
echo "x265: --check is ready, and a chunk of one frame joins"

# dorvel_y4m names each planar format as ffmpeg reads it, and refuses RGB.
for pair in YV24:yuv444p YV16:yuv422p YUV420P10:yuv420p10le YUV444P16:yuv444p16le Y8:gray; do
  printf 'BlankClip(length=3, width=64, height=48, pixel_type="%s")\n' "${pair%%:*}" >format.avs
  got=$("$y4m" format.avs 2>/dev/null | ffprobe -v error -count_frames -show_entries stream=pix_fmt,nb_read_frames \
    -of csv=p=0 -)
  [ "$got" = "${pair#*:},3" ] || fail "dorvel_y4m: ${pair%%:*} read as '$got'"
done
printf 'BlankClip(length=3, width=64, height=48, pixel_type="RGB32")\n' >format.avs
if "$y4m" format.avs >/dev/null 2>format.err; then fail "dorvel_y4m wrote RGB"; fi
grep -q "^dorvel_y4m: .*format.avs: YUV4MPEG2 carries planar YUV or greyscale" format.err ||
  fail "dorvel_y4m on RGB: $(cat format.err)"

# The audio: the host's samples for the whole script, however they were stored.
[ "$(streams_of x264.mkv)" = "h264 flac " ] || fail "x264.mkv holds $(streams_of x264.mkv)"
audio_of x264.mkv | cmp -s - script.pcm || fail "the FLAC audio differs from the script's samples"
[ "$(streams_of svt-av1.mkv)" = "av1 pcm_s16le " ] || fail "svt-av1.mkv holds $(streams_of svt-av1.mkv)"
audio_of svt-av1.mkv | cmp -s - script.pcm || fail "the PCM audio differs from the script's samples"
[ "$(streams_of x265.mkv)" = "hevc " ] || fail "x265.mkv holds $(streams_of x265.mkv) with --no-audio"
grep -q "audio left out (--no-audio)" x265.out || fail "--no-audio is not said"
echo "the muxed audio decodes to the script's $((8 * 48000)) samples"

# A part gone: the chunk that reads it fails, named with its frames, its
# machine, its log and the host's message that dorvel_y4m passed on.
mv parts/p3.mkv parts/away.mkv
if bash "$encode" --encoder x265 parts/splice.avs 60 failed.mkv --jobs 1 -- --lossless >failed.out 2>failed.err; then
  fail "x265 succeeded without a part"
fi
grep -q "chunk 2 of 4 (frames 60-119): failed on this machine" failed.err || fail "no failed chunk: $(cat failed.err)"
grep -q "its log: $work/failed.mkv.chunks/chunk_0002.log" failed.err || fail "no log named: $(cat failed.err)"
grep -q "dorvel_y4m: .*p3.mkv" failed.err || fail "the host's message not shown: $(cat failed.err)"
mv parts/away.mkv parts/p3.mkv
# Without dorvel_y4m, and with an encoder it does not know.
if DORVEL_Y4M= PATH=/usr/bin:/bin bash "$encode" --encoder svt-av1 parts/splice.avs 60 none.mkv >none.out 2>&1; then
  fail "svt-av1 ran without dorvel_y4m"
fi
grep -q "needs dorvel_y4m" none.out || fail "no word of dorvel_y4m: $(cat none.out)"
if bash "$encode" --encoder vp9 parts/splice.avs 60 none.mkv >none.out 2>&1; then fail "vp9 accepted"; fi
grep -q -- "--encoder must be x264, x265 or svt-av1, not 'vp9'" none.out || fail "vp9: $(cat none.out)"
echo "a failing x265 chunk is named with its frames, machine, log and the host's message"
