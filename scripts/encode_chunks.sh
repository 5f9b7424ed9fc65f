#!/usr/bin/env bash
# Encodes an AviSynth script in chunks, side by side, with x264 under GNU
# parallel, and joins the chunks into one file with ffmpeg:
#
#   encode_chunks.sh SCRIPT.avs CHUNK_FRAMES OUT.mkv [PARALLEL OPTIONS] [-- X264 OPTIONS]
#
# The script's frame count comes from the host (scripts/script_frames.py).
# Each chunk is a script of its own, Import of SCRIPT.avs and then Trim of
# CHUNK_FRAMES frames (the last chunk of what remains), that x264 reads
# directly. Options before `--` go to GNU parallel (--jobs 4, --sshlogin
# :,4/box2); options after it go to x264 (--preset slow --crf 18). x264 runs in
# the script's folder, so that file names relative to the script work also for
# sources that DorvelFilter opens only while frames are read.
#
# Chunks, their scripts and logs live in OUT.mkv.chunks/ beside OUT.mkv; with
# --sshlogin every machine must see that folder, the script, its sources, the
# plugins and the host under the same paths. A chunk is written under a
# .partial name and keeps its own name only once x264 has succeeded and the
# file holds every frame of its range; the folder is removed when OUT.mkv is
# written, and kept with the logs when something fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

die() {
  echo "encode_chunks: $*" >&2
  exit 1
}
if [ $# -lt 3 ]; then
  echo "usage: encode_chunks.sh SCRIPT.avs CHUNK_FRAMES OUT.mkv [PARALLEL OPTIONS] [-- X264 OPTIONS]" >&2
  exit 2
fi
script="$1" chunk_frames="$2" out="$3"
shift 3
parallel_options=()
encoder_options=()
while [ $# -gt 0 ]; do
  if [ "$1" = -- ]; then
    shift
    encoder_options=("$@")
    break
  fi
  parallel_options+=("$1")
  shift
done

need() {  # need TOOL WHAT
  command -v "$1" >/dev/null 2>&1 || die "needs $1 ($2), which is not on PATH"
}
need parallel "GNU parallel, Debian package parallel"
need x264 "Debian package x264"
need ffmpeg "Debian package ffmpeg"
need ffprobe "Debian package ffmpeg"
need python3 "to read the script's frame count from the host"
[[ "$(parallel --version 2>/dev/null || true)" == *"GNU parallel"* ]] ||
  die "needs GNU parallel; the 'parallel' on PATH is another program (moreutils?)"
[[ "$(x264 --fullhelp 2>&1 || true)" == *"y4m, avs"* ]] || die "this x264 cannot read AviSynth scripts"

[[ "$chunk_frames" =~ ^[1-9][0-9]*$ ]] || die "CHUNK_FRAMES must be a whole number above 0, not '$chunk_frames'"
[ -f "$script" ] || die "no such script: $script"
[[ "$script" != *'"'* ]] || die "the script's path may not hold a double quote: $script"
script=$(realpath "$script")
script_dir=$(dirname "$script")
out_dir=$(dirname "$out")
[ -d "$out_dir" ] || die "no such folder for OUT: $out_dir"
out="$(cd "$out_dir" && pwd)/$(basename "$out")"
extension="${out##*.}"
[ "$extension" != "$out" ] && [ -n "$extension" ] || die "OUT needs an extension that names its container, such as .mkv"

# The script loaded once, as x264 will load it, for its length.
loaded=0
info=$(cd "$script_dir" && python3 "$here/script_frames.py" "$script" 2>&1) || loaded=$?
[ "$loaded" != 2 ] || die "$info"  # no host
[ "$loaded" = 0 ] || die "$script does not load:
$info"
frames=$(sed -n 's/^frames=\([0-9]*\) .*/\1/p' <<<"$info")
[ -n "$frames" ] || die "$script: unexpected answer from the host: $info"
[ "$frames" -gt 0 ] || die "$script has no frames"
chunks=$(((frames + chunk_frames - 1) / chunk_frames))
digits=${#chunks}
[ "$digits" -ge 4 ] || digits=4

# The work folder: made afresh, and only ever one this script made.
work="$out.chunks"
if [ -e "$work" ]; then
  [ -f "$work/.encode_chunks" ] || die "$work exists and was not made by encode_chunks.sh; move it away first"
  rm -rf "$work"
fi
mkdir "$work"
touch "$work/.encode_chunks"
echo "encode_chunks: $script: $frames frames, $chunks chunks of up to $chunk_frames, in $work"

name() { printf "%s/chunk_%0${digits}d" "$work" "$1"; }
first_of() { echo $((($1 - 1) * chunk_frames)); }
length_of() {
  local rest=$((frames - $(first_of "$1")))
  echo $((rest < chunk_frames ? rest : chunk_frames))
}
quoted() { [ $# -eq 0 ] || printf " %q" "$@"; }

# One script and one job per chunk. A job writes its chunk under a .partial
# name, and x264's messages to its log; it reports how long x264 took and, when
# GNU time is installed where it runs, x264's peak memory.
jobs=()
for ((k = 1; k <= chunks; k++)); do
  base=$(name "$k")
  first=$(first_of "$k")
  length=$(length_of "$k")
  last=$((first + length - 1))
  printf '# Frames %d to %d of %s, chunk %d of %d\nImport("%s")\nTrim(%d, -%d)\n' \
    "$first" "$last" "$script" "$k" "$chunks" "$script" "$first" "$length" >"$base.avs"
  {
    echo "#!/usr/bin/env bash"
    echo "# Chunk $k of $chunks, frames $first to $last, as encode_chunks.sh runs it."
    [ -z "${LD_LIBRARY_PATH:-}" ] || echo "export LD_LIBRARY_PATH=$(printf %q "$LD_LIBRARY_PATH")"
    echo "cd$(quoted "$script_dir") || exit 1"
    echo "encode=(x264 --demuxer avs --no-progress$(quoted "${encoder_options[@]}") -o$(quoted "$base.partial.mkv" "$base.avs"))"
    echo "log=$(printf %q "$base.log") figures=$(printf %q "$base.figures")"
    echo "tag='chunk $k/$chunks, frames $first-$last'"
    cat <<'JOB'
if [ -x /usr/bin/time ]; then
  /usr/bin/time -f "%e %M" -o "$figures" "${encode[@]}" >"$log" 2>&1
  status=$?
  read -r seconds kib < <(tail -n 1 "$figures")
  measured="$seconds s, peak memory $((kib / 1024)) MiB"
else
  SECONDS=0
  "${encode[@]}" >"$log" 2>&1
  status=$?
  measured="$SECONDS s"
fi
# x264 ends with success when the script fails to give it a frame.
if [ "$status" -ne 0 ]; then
  result="x264 failed (exit $status)"
elif grep -q '\[error\]' "$log"; then
  result="x264 reported errors"
  status=1
else
  result="encoded"
fi
echo "$tag, on $(hostname): $result, $measured"
exit "$status"
JOB
  } >"$base.sh"
  jobs+=("$base.sh")
done

# Stop starting chunks after the first failure; those running finish.
status=0
parallel --halt soon,fail=1 --joblog "$work/joblog" "${parallel_options[@]}" bash ::: "${jobs[@]}" </dev/null ||
  status=$?
[ -f "$work/joblog" ] && [ "$(wc -l <"$work/joblog")" -gt 1 ] ||
  die "GNU parallel ran no chunk (exit $status); the chunks' scripts are in $work"

frames_in() {  # the number of video frames a file holds, or nothing
  ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1" \
    2>/dev/null || true
}
# A chunk is done when its job succeeded and its file holds its whole range.
# The joblog has a line for every job that ran (its number, host, times, exit
# value and signal); with --retries the last line of a job counts.
failed=0
for ((k = 1; k <= chunks; k++)); do
  base=$(name "$k")
  first=$(first_of "$k")
  length=$(length_of "$k")
  IFS=$'\t' read -r host exit_value signal < <(awk -F '\t' -v OFS='\t' -v k="$k" \
    '$1 == k { line = ($2 == ":" ? "this machine" : $2) OFS $7 OFS $8 } END { if (line) print line }' \
    "$work/joblog") || true
  problem=""
  if [ -z "${exit_value:-}" ]; then
    problem="not run, after the failure of another chunk"
  elif [ "$signal" != 0 ]; then
    problem="stopped by signal $signal on $host"
  elif [ "$exit_value" != 0 ]; then
    problem="failed on $host"
  else
    written=$(frames_in "$base.partial.mkv")
    [ "$written" = "$length" ] || problem="its file holds ${written:-no} of its $length frames"
  fi
  unset host exit_value signal
  if [ -n "$problem" ]; then
    failed=$((failed + 1))
    rm -f "$base.partial.mkv"
    echo "encode_chunks: chunk $k of $chunks (frames $first-$((first + length - 1))): $problem" >&2
    if [ -s "$base.log" ]; then
      echo "  its log: $base.log" >&2
      { grep -m 3 '\[error\]' "$base.log" || tail -n 5 "$base.log"; } | sed 's/^/    /' >&2
    fi
  else
    mv "$base.partial.mkv" "$base.mkv"
  fi
done
[ "$failed" -eq 0 ] || die "$failed of $chunks chunks not encoded; their scripts and logs are in $work"

# The chunks joined in order, without encoding again.
for ((k = 1; k <= chunks; k++)); do
  path="$(name "$k").mkv"
  printf "file '%s'\n" "${path//\'/\'\\\'\'}"  # ' within quotes is written '\''
done >"$work/list.txt"
joined="$work/joined.$extension"
ffmpeg -nostdin -loglevel error -f concat -safe 0 -i "$work/list.txt" -map 0 -c copy -y "$joined" ||
  die "ffmpeg could not join the chunks; they are in $work"
got=$(frames_in "$joined")
[ "$got" = "$frames" ] || die "the joined file holds $got frames of $frames; the chunks are in $work"
mv "$joined" "$out"
rm -rf "$work"
echo "encode_chunks: $out: $frames frames from $chunks chunks"
