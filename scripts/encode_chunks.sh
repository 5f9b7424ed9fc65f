#!/usr/bin/env bash
# Encodes an AviSynth script in chunks, side by side under GNU parallel (on
# this machine or on several over ssh), joins the chunks into one file with
# ffmpeg without encoding them again, and adds the script's audio:
#
#   encode_chunks.sh [OPTIONS] SCRIPT.avs CHUNK_FRAMES OUT.mkv [PARALLEL OPTIONS] [-- ENCODER OPTIONS]
#
# OPTIONS (before the script):
#   --encoder x264|x265|svt-av1   x264 (the default) reads each chunk's script
#                                 itself; x265 and SvtAv1EncApp read YUV4MPEG2
#                                 that dorvel_y4m writes from it to a pipe
#   --y4m PATH                    dorvel_y4m (else $DORVEL_Y4M, else PATH)
#   --fresh                       start afresh, even when chunks of an earlier
#                                 run of the same encode are there to keep
#   --no-audio                    leave the script's audio out
#   --audio-codec NAME            ffmpeg's encoder for the audio (flac)
#   --check                       encode one frame on each --sshlogin and say
#                                 whether each machine can take part; no more.
#                                 A machine where the script's description
#                                 cache (DorvelFilterCache) cannot be read or
#                                 written is named with the cache file, as a
#                                 warning: it takes part, its chunks only
#                                 open their parts while they load
# These may also stand after OUT.mkv, among the options of GNU parallel.
#
# Each chunk is a script of its own, Import of SCRIPT.avs and then Trim of
# CHUNK_FRAMES frames (the last chunk of what remains), encoded in the
# script's folder so that relative file names work. Options before `--` go to
# GNU parallel (--jobs 4, --sshlogin :,4/box2); options after it go to the
# encoder (--preset slow --crf 18).
#
# Chunks, their scripts and logs live in OUT.mkv.chunks/ beside OUT.mkv; with
# --sshlogin every machine must see that folder, the script, its sources, the
# plugins, the host and the encoder under the same paths. A chunk keeps its
# own name only once its job succeeded and its file holds every frame of its
# range; a later run of the same encode (the same script content, frame
# count, chunk size, encoder and encoder options) keeps such chunks and
# encodes only the others, so an encode stopped by Ctrl-C, a failure or a
# reboot goes on where it stopped. The folder is removed when OUT.mkv is
# written; the job log of the last run is kept beside it as OUT.mkv.joblog.
#
# A script that keeps a description cache (DorvelFilterCache) fills it when it
# is loaded before the chunks start; the progress then names the cache file
# and how many parts it describes, and says whether the chunks still open
# parts while they load, as read from the host's log of that load (and of a
# second one, when the first had to open parts). A cache that cannot be
# written is said plainly; the encode goes on, its chunks only load slower.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/encode_chunks_progress.sh"
source "$here/encode_chunks_cache.sh"

die() {
  echo "encode_chunks: $*" >&2
  exit 1
}
usage() {
  echo "usage: encode_chunks.sh [--encoder x264|x265|svt-av1] [--y4m PATH] [--fresh] [--no-audio]" \
    "[--audio-codec NAME] [--check] SCRIPT.avs CHUNK_FRAMES OUT.mkv [PARALLEL OPTIONS] [-- ENCODER OPTIONS]" >&2
  exit 2
}

encoder=x264 y4m="${DORVEL_Y4M:-}" fresh=0 audio=1 audio_codec=flac check=0
# Takes one of this script's own options from the front of the arguments:
# `taken` is how many words it used, 0 when the first is none of them. GNU
# parallel has none of these names, so they are this script's wherever they
# stand before `--`.
own_option() {
  taken=0
  case "$1" in
    --encoder) [ $# -ge 2 ] || usage; encoder="$2"; taken=2 ;;
    --y4m) [ $# -ge 2 ] || usage; y4m="$2"; taken=2 ;;
    --fresh) fresh=1; taken=1 ;;
    --no-audio) audio=0; taken=1 ;;
    --audio-codec) [ $# -ge 2 ] || usage; audio_codec="$2"; taken=2 ;;
    --check) check=1; taken=1 ;;
  esac
}
while [ $# -gt 0 ]; do
  own_option "$@"
  if [ "$taken" -gt 0 ]; then
    shift "$taken"
    continue
  fi
  case "$1" in
    --) usage ;;
    --*) die "unknown option $1 (options of GNU parallel go after OUT)" ;;
    *) break ;;
  esac
done
[ $# -ge 3 ] || usage
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
  own_option "$@"
  if [ "$taken" -gt 0 ]; then
    shift "$taken"
    continue
  fi
  parallel_options+=("$1")
  shift
done

need() {  # need TOOL WHAT
  command -v "$1" >/dev/null 2>&1 || die "needs $1 ($2), which is not on PATH"
}
need parallel "GNU parallel, Debian package parallel"
need ffmpeg "Debian package ffmpeg"
need ffprobe "Debian package ffmpeg"
need python3 "to read the script's frame count from the host"
[[ "$(parallel --version 2>/dev/null || true)" == *"GNU parallel"* ]] ||
  die "needs GNU parallel; the 'parallel' on PATH is another program (moreutils?)"
case "$encoder" in
  x264)
    need x264 "Debian package x264"
    [[ "$(x264 --fullhelp 2>&1 || true)" == *"y4m, avs"* ]] || die "this x264 cannot read AviSynth scripts"
    raw=mkv ;;
  x265)
    need x265 "Debian package x265"
    need mkvmerge "to put x265's stream into Matroska; Debian package mkvtoolnix"
    raw=hevc ;;
  svt-av1)
    need SvtAv1EncApp "Debian package svt-av1"
    raw=ivf ;;
  *) die "--encoder must be x264, x265 or svt-av1, not '$encoder'" ;;
esac
if [ "$encoder" != x264 ]; then
  [ -n "$y4m" ] || y4m=$(command -v dorvel_y4m || true)
  [ -n "$y4m" ] || die "--encoder $encoder needs dorvel_y4m (built with the module when a host is found):" \
    "name it with --y4m PATH or DORVEL_Y4M, or put it on PATH"
  [ -x "$y4m" ] || die "dorvel_y4m is not a program: $y4m"
  y4m=$(realpath "$y4m")
fi

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

# The script loaded once, as the chunks will load it, for its length and audio
# and to fill its description cache; the host's log of it tells of the cache.
host_logs=$(mktemp -d)
trap 'rm -rf "$host_logs"' EXIT
load_logged() {  # LOG
  (cd "$script_dir" && python3 "$here/script_frames.py" --log "$1" "$script")
}
load_logged_quietly() { load_logged "$1" >/dev/null 2>&1; }
loaded=0
info=$(load_logged "$host_logs/first.log" 2>&1) || loaded=$?
[ "$loaded" != 2 ] || die "$info"  # no host
[ "$loaded" = 0 ] || die "$script does not load:
$info"
frames=$(sed -n 's/^frames=\([0-9]*\) .*/\1/p' <<<"$info")
fps=$(sed -n 's/^frames=.* fps=\([0-9]*\/[0-9]*\)$/\1/p' <<<"$info")
[ -n "$frames" ] && [ -n "$fps" ] || die "$script: unexpected answer from the host: $info"
[ "$frames" -gt 0 ] || die "$script has no frames"
has_audio=0
grep -q '^audio_rate=' <<<"$info" && has_audio=1
chunks=$(((frames + chunk_frames - 1) / chunk_frames))
digits=${#chunks}
[ "$digits" -ge 4 ] || digits=4

quoted() { [ $# -eq 0 ] || printf " %q" "$@"; }

# The command that encodes SCRIPT into FILE, as a line of bash.
encode_command() {  # SCRIPT FILE
  case "$encoder" in
    x264) echo "x264 --demuxer avs$(quoted "${encoder_options[@]}") -o$(quoted "$2" "$1")" ;;
    x265) echo "$(quoted "$y4m" "$1") | x265 --y4m --input -$(quoted "${encoder_options[@]}") -o$(quoted "$2")" ;;
    svt-av1) echo "$(quoted "$y4m" "$1") | SvtAv1EncApp -i stdin$(quoted "${encoder_options[@]}") -b$(quoted "$2")" ;;
  esac
}
# Puts the encoder's own file into Matroska, for the join: x264 writes it.
wrap() {  # RAW MKV
  case "$encoder" in
    x264) [ "$1" = "$2" ] || mv "$1" "$2" ;;
    x265)
      # mkvmerge does not recognise a raw HEVC stream of fewer than three
      # frames, and ffmpeg finds no timestamps in one. One or two frames
      # are never reordered (the last frame is not a B-frame), so their
      # times are their places in the stream.
      if [ "$(frames_in "$1")" -lt 3 ]; then
        ffmpeg -nostdin -loglevel error -f hevc -framerate "$fps" -i "$1" -map 0 -c copy -bsf:v setts=ts=N \
          -fflags +bitexact -y "$2"
      else
        mkvmerge -q -o "$2" --default-duration "0:${fps}fps" "$1" >/dev/null
      fi && rm -f "$1" ;;
    svt-av1) ffmpeg -nostdin -loglevel error -i "$1" -map 0 -c copy -fflags +bitexact -y "$2" && rm -f "$1" ;;
  esac
}
frames_in() {  # the number of video frames a file holds, or nothing
  ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1" \
    2>/dev/null || true
}
# A job's script: it runs where GNU parallel sends it, with this machine's
# library path, in the script's folder; it says how long the encode took and,
# when GNU time is there, its peak memory, and writes its exit status to
# STATUS when it ends. On a terminal its line first clears the progress line.
write_job() {  # FILE TAG SCRIPT OUTPUT LOG FIGURES STATUS
  local clear=""
  [ -t 1 ] && [ -t 2 ] && clear='\r\033[K'
  {
    echo "#!/usr/bin/env bash"
    echo "# $2, as encode_chunks.sh runs it."
    echo "set -o pipefail"
    [ -z "${LD_LIBRARY_PATH:-}" ] || echo "export LD_LIBRARY_PATH=$(printf %q "$LD_LIBRARY_PATH")"
    echo "cd$(quoted "$script_dir") || exit 1"
    echo "encode=$(printf %q "$(encode_command "$3" "$4")")"
    echo "log=$(printf %q "$5") figures=$(printf %q "$6") status_file=$(printf %q "$7") tag=$(printf %q "$2")"
    echo "clear='$clear'"
    cat <<'JOB'
if [ -x /usr/bin/time ]; then
  /usr/bin/time -f "%e %M" -o "$figures" bash -o pipefail -c "$encode" >"$log" 2>&1
  status=$?
  read -r seconds kib < <(tail -n 1 "$figures")
  measured="$seconds s, peak memory $((kib / 1024)) MiB"
else
  SECONDS=0
  bash -o pipefail -c "$encode" >"$log" 2>&1
  status=$?
  measured="$SECONDS s"
fi
# x264 ends with success when the script fails to give it a frame.
if [ "$status" -ne 0 ]; then
  result="the encoder failed (exit $status)"
elif grep -q '\[error\]' "$log"; then
  result="the encoder reported errors"
  status=1
else
  result="encoded"
fi
echo "$status" >"$status_file"
printf "$clear%s\n" "$tag, on $(hostname): $result, $measured"
exit "$status"
JOB
  } >"$1"
}
# The first errors of a log, or its last lines. A chunk's encoder counts
# frames from the chunk's start ("reading frame 2250"); with FIRST, the
# chunk's first frame, each such number is followed by the script's own.
show_log() {  # LOG [FIRST]
  local lines
  lines=$(tr '\r' '\n' <"$1" | grep -E -m 3 '\[error\]|^dorvel_y4m: [^0-9]' || true)
  [ -n "$lines" ] || lines=$(tr '\r' '\n' <"$1" | grep -v '^$' | tail -n 5)
  awk -v first="${2:-}" '{
    line = $0
    if (first != "" && match(line, /reading frame [0-9]+/)) {
      n = substr(line, RSTART + 14, RLENGTH - 14)
      line = substr(line, 1, RSTART + RLENGTH - 1) " (frame " (first + n) " of the script)" substr(line, RSTART + RLENGTH)
    }
    print "    " line
  }' <<<"$lines" >&2
}

# A check job's warnings about the description cache, said as a problem of
# its machine that does not stop it from taking part.
cache_problem() {  # WHERE HOST_LOG
  local warnings file
  warnings=$(cache_warnings_in_log "$2")
  [ -n "$warnings" ] || return 0
  file=$(cache_file_in_log "$2")
  uncached=$((uncached + 1))
  echo "encode_chunks: $1: warning: the description cache ${file:-of the script} cannot be read or written" \
    "there; its chunks open their parts while they load (slower; the frames are the same):" >&2
  sed 's/^/    /' <<<"$warnings" >&2
}

if [ "$check" = 1 ]; then
  # One job on every machine of --sshlogin: frame 0 as a chunk of its own,
  # into a folder beside OUT, which this machine must then see.
  checks="$out.check"
  if [ -e "$checks" ]; then
    [ -f "$checks/.encode_chunks_check" ] || die "$checks exists and was not made by encode_chunks.sh; move it away first"
    rm -rf "$checks"
  fi
  mkdir "$checks"
  touch "$checks/.encode_chunks_check"
  # The job's file names are made where it runs: the encoder's line names
  # them through $base. Its script is frame 0 of SCRIPT, with the host's log
  # in $base.host.log for what the module says of the description cache.
  encode_line=$(encode_command "@@.avs" "@@.$raw")
  {
    echo "#!/usr/bin/env bash"
    echo "set -o pipefail"
    [ -z "${LD_LIBRARY_PATH:-}" ] || echo "export LD_LIBRARY_PATH=$(printf %q "$LD_LIBRARY_PATH")"
    echo "export base=\$(mktemp -u$(quoted "$checks/check.XXXXXXXX"))"
    echo "cd$(quoted "$script_dir") || exit 1"
    echo "frame0=$(printf %q "$(printf 'Import("%s")\nTrim(0, -1)' "$script")")"
    echo 'printf "SetLogParams(\"\"\"%s\"\"\", 3)\n%s\n" "$base.host.log" "$frame0" >"$base.avs"'
    echo "encode=$(printf %q "${encode_line//@@/\"\$base\"}")"
    echo 'bash -o pipefail -c "$encode" >"$base.log" 2>&1'
    echo 'status=$?'
    echo '[ "$status" -ne 0 ] || ! grep -q "\[error\]" "$base.log" || status=1'
    echo 'echo "checked $status $base $(hostname)"'
  } >"$checks/check.sh"
  answers=$(parallel --nonall --tag "${parallel_options[@]}" bash "$checks/check.sh" </dev/null 2>&1) || true
  machines=0 bad=0 uncached=0
  declare -A said=() answered=()
  while IFS=$'\t' read -r login line; do
    [ -n "$login" ] || continue
    where="${login/#:/this machine}"
    if [[ "$line" != "checked "* ]]; then
      said[$where]+="    $line"$'\n'
      continue
    fi
    read -r _ status base host <<<"$line"
    machines=$((machines + 1))
    answered[$where]=1
    [ "$where" = "this machine" ] || where="$where ($host)"
    cache_problem "$where" "$base.host.log"
    if [ "$status" != 0 ]; then
      problem="the encode failed; its log: $base.log"
    elif [ ! -e "$base.$raw" ]; then
      problem="its file $base.$raw is not seen here: the folder of OUT must be shared under the same path"
    elif ! wrap "$base.$raw" "$base.mkv" || [ "$(frames_in "$base.mkv")" != 1 ]; then
      # Wrapped as a chunk's file is, for the join: a one-frame chunk must
      # join too.
      problem="its file $base.$raw does not hold the frame; its log: $base.log"
    else
      echo "encode_chunks: $where: ready (the script, its sources, the host and $encoder work there)"
      continue
    fi
    bad=$((bad + 1))
    echo "encode_chunks: $where: $problem" >&2
    [ ! -s "$base.log" ] || show_log "$base.log"
  done <<<"$answers"
  # A machine that could not even start the check says only what went wrong.
  for where in "${!said[@]}"; do
    [ -z "${answered[$where]:-}" ] || continue
    machines=$((machines + 1)) bad=$((bad + 1))
    echo "encode_chunks: $where: the check did not run:" >&2
    printf '%s' "${said[$where]}" >&2
  done
  [ "$machines" -gt 0 ] || die "GNU parallel ran no check: $answers"
  [ "$bad" -eq 0 ] || die "$bad of $machines machines cannot take part; their files are in $checks"
  rm -rf "$checks"
  if [ "$uncached" -gt 0 ]; then
    echo "encode_chunks: all $machines machines can take part; on $uncached of them without the description cache"
  else
    echo "encode_chunks: all $machines machines can take part"
  fi
  exit 0
fi

# The work folder: only ever one this script made. Its chunks are kept when
# the encode is the same as the one that made them.
work="$out.chunks"
marker="$work/.encode_chunks"
identity=$(printf 'the script %s\nthe frame count %s\nthe chunk size %s\nthe encoder %s\nthe encoder options%s\n' \
  "$(sha256sum <"$script" | cut -d ' ' -f 1)" "$frames" "$chunk_frames" "$encoder" "$(quoted "${encoder_options[@]}")")
if [ -e "$work" ]; then
  [ -f "$marker" ] || die "$work exists and was not made by encode_chunks.sh; move it away first"
  why=""
  if [ "$fresh" = 1 ]; then
    why="--fresh"
  elif [ "$(cat "$marker")" != "$identity" ]; then
    why="the encode"  # a folder of an older form of this script
    labels=("the script" "the frame count" "the chunk size" "the encoder" "the encoder options")
    mapfile -t now <<<"$identity"
    mapfile -t before <"$marker"
    for ((i = 0; i < ${#now[@]}; i++)); do
      if [ "${now[i]}" != "${before[i]:-}" ]; then
        why="${labels[i]}"
        break
      fi
    done
    why="$why changed since its chunks were made"
  fi
  if [ -n "$why" ]; then
    echo "encode_chunks: starting afresh ($why)"
    rm -rf "$work"
  fi
fi
mkdir -p "$work"
echo "$identity" >"$marker"

name() { printf "%s/chunk_%0${digits}d" "$work" "$1"; }
first_of() { echo $((($1 - 1) * chunk_frames)); }
length_of() {
  local rest=$((frames - $(first_of "$1")))
  echo $((rest < chunk_frames ? rest : chunk_frames))
}

# Chunks already complete are kept; whatever else an earlier run left goes.
kept=0 kept_frames=0 pending=()
for ((k = 1; k <= chunks; k++)); do
  base=$(name "$k")
  if [ -f "$base.mkv" ] && [ "$(frames_in "$base.mkv")" = "$(length_of "$k")" ]; then
    kept=$((kept + 1)) kept_frames=$((kept_frames + $(length_of "$k")))
    continue
  fi
  rm -f "$base.mkv" "$base.partial.$raw" "$base.log" "$base.figures" "$base.status"
  pending+=("$k")
done
rm -f "$work/joblog" "$work/list.txt"
echo "encode_chunks: $script: $frames frames, $chunks chunks of up to $chunk_frames, in $work"
# Loading the script above filled its description cache, if it keeps one
# (DorvelFilterCache): the chunks take their parts' descriptions from there.
report_cache "$host_logs/first.log" "$host_logs/again.log" load_logged_quietly
[ "$kept" -eq 0 ] || echo "encode_chunks: $kept chunks ($kept_frames frames) kept from an earlier run"

# One script and one job per chunk still to encode.
jobs=()
for k in "${pending[@]}"; do
  base=$(name "$k")
  first=$(first_of "$k")
  length=$(length_of "$k")
  last=$((first + length - 1))
  printf '# Frames %d to %d of %s, chunk %d of %d\nImport("%s")\nTrim(%d, -%d)\n' \
    "$first" "$last" "$script" "$k" "$chunks" "$script" "$first" "$length" >"$base.avs"
  write_job "$base.sh" "chunk $k/$chunks, frames $first-$last" "$base.avs" "$base.partial.$raw" "$base.log" \
    "$base.figures" "$base.status"
  jobs+=("$base.sh")
done

# The job log line of a chunk's last run: its machine, exit value and signal.
job_result() {  # K
  awk -F '\t' -v OFS='\t' -v job="$(name "$1").sh" \
    'NR > 1 && $9 == "bash " job { line = ($2 == ":" ? "this machine" : $2) OFS $7 OFS $8 } END { if (line) print line }' \
    "$work/joblog" 2>/dev/null || true
}
# Gives every chunk whose job succeeded and whose file holds its whole range
# its own name; reports the others unless the run was stopped.
failed=0
settle() {  # REPORT(0|1)
  local k base first length host exit_value signal problem written
  for k in "${pending[@]}"; do
    base=$(name "$k")
    [ ! -f "$base.mkv" ] || continue
    first=$(first_of "$k")
    length=$(length_of "$k")
    host="" exit_value="" signal=""
    IFS=$'\t' read -r host exit_value signal < <(job_result "$k") || true
    problem=""
    if [ -z "$exit_value" ]; then
      problem="not run, after the failure of another chunk"
    elif [ "$signal" != 0 ]; then
      problem="stopped by signal $signal on $host"
    elif [ "$exit_value" != 0 ]; then
      problem="failed on $host"
    elif ! wrap "$base.partial.$raw" "$base.partial.mkv" 2>"$base.wrap.log"; then
      problem="its file could not be read on this machine ($(head -n 1 "$base.wrap.log"))"
    else
      written=$(frames_in "$base.partial.mkv")
      [ "$written" = "$length" ] || problem="its file holds ${written:-no} of its $length frames"
    fi
    rm -f "$base.wrap.log"
    if [ -z "$problem" ]; then
      mv "$base.partial.mkv" "$base.mkv"
      continue
    fi
    rm -f "$base.partial.mkv" "$base.partial.$raw"
    [ "$1" = 1 ] || continue
    failed=$((failed + 1))
    echo "encode_chunks: chunk $k of $chunks (frames $first-$((first + length - 1))): $problem" >&2
    if [ -s "$base.log" ]; then
      echo "  its log: $base.log" >&2
      show_log "$base.log" "$first"
    fi
  done
}

started=$(date +%s)
stopped="" parallel_pid=""
# Ctrl-C reaches this shell alone: GNU parallel and its jobs run in a process
# group of their own, and get the signal from here. (Were they in the
# terminal's group, parallel would take the signal itself and return as if
# chunks had failed, and bash, seeing its child end normally, would never run
# the trap.)
stop() {  # INT|TERM
  stopped=$1
  [ -z "$parallel_pid" ] || kill -"$1" -- "-$parallel_pid" 2>/dev/null || true
}
trap 'stop INT' INT
trap 'stop TERM' TERM
status=0
if [ "${#jobs[@]}" -gt 0 ]; then
  progress_start
  # Stop starting chunks after the first failure; those running finish.
  set -m
  parallel --halt soon,fail=1 --joblog "$work/joblog" "${parallel_options[@]}" bash ::: "${jobs[@]}" </dev/null &
  parallel_pid=$!
  set +m
  # A trapped signal ends the wait early; parallel is then waited for again.
  while :; do
    status=0
    wait "$parallel_pid" || status=$?
    kill -0 "$parallel_pid" 2>/dev/null || break
  done
  parallel_pid=""
  encoded_at=$(date +%s)
  progress_stop
  if [ -n "$stopped" ]; then
    settle 0
    done_now=$(find "$work" -maxdepth 1 -name 'chunk_*.mkv' ! -name '*.partial.mkv' | wc -l)
    word=interrupted code=130
    [ "$stopped" = INT ] || word="stopped (SIGTERM)" code=143
    echo "encode_chunks: $word; $done_now of $chunks chunks are done and kept in $work:" \
      "the same command goes on from there" >&2
    exit "$code"
  fi
  [ -f "$work/joblog" ] && [ "$(wc -l <"$work/joblog")" -gt 1 ] ||
    die "GNU parallel ran no chunk (exit $status); the chunks' scripts are in $work"
  settle 1
fi
trap - INT TERM
[ "$failed" -eq 0 ] || die "$failed of $chunks chunks not encoded; their scripts and logs are in $work;" \
  "the same command encodes them and keeps the others"

# The chunks joined in order, without encoding again.
for ((k = 1; k <= chunks; k++)); do
  path="$(name "$k").mkv"
  printf "file '%s'\n" "${path//\'/\'\\\'\'}"  # ' within quotes is written '\''
done >"$work/list.txt"
joined="$work/joined.$extension"
ffmpeg -nostdin -loglevel error -f concat -safe 0 -i "$work/list.txt" -map 0 -c copy -fflags +bitexact -y "$joined" ||
  die "ffmpeg could not join the chunks; they are in $work"
got=$(frames_in "$joined")
[ "$got" = "$frames" ] || die "the joined file holds $got frames of $frames; the chunks are in $work"

# The audio, rendered once from the whole script, so that nothing is lost or
# doubled at the chunks' edges.
if [ "$has_audio" = 1 ] && [ "$audio" = 1 ]; then
  audio_file="$work/audio.mka"
  echo "encode_chunks: the script's audio, with $audio_codec"
  read -r rate channels sample_type < <(sed -n 's/^audio_rate=\([0-9]*\) channels=\([0-9]*\) sample_type=\([0-9]*\) .*/\1 \2 \3/p' <<<"$info")
  case "$sample_type" in
    1) sample_format=u8 ;; 2) sample_format=s16le ;; 4) sample_format=s24le ;; 8) sample_format=s32le ;;
    16) sample_format=f32le ;; *) die "the script's audio has a sample type unknown here ($sample_type)" ;;
  esac
  (cd "$script_dir" && python3 "$here/script_audio.py" "$script" 2>"$work/render.log") |
    ffmpeg -nostdin -loglevel error -f "$sample_format" -ar "$rate" -ac "$channels" -i - \
      -c:a "$audio_codec" -fflags +bitexact -y "$audio_file" 2>"$work/audio.log" ||
    die "the script's audio could not be rendered and encoded with $audio_codec:" \
      "$(grep -v '^format=' "$work/render.log") $(cat "$work/audio.log")"
  with_audio="$work/muxed.$extension"
  ffmpeg -nostdin -loglevel error -i "$joined" -i "$audio_file" -map 0:v -map 1:a -c copy -strict experimental \
    -fflags +bitexact -y "$with_audio" 2>"$work/audio.log" ||
    die "ffmpeg could not put the audio into $extension: $(cat "$work/audio.log")"
  mv "$with_audio" "$joined"
elif [ "$has_audio" = 1 ]; then
  echo "encode_chunks: the script's audio left out (--no-audio)"
fi

mv "$joined" "$out"
[ ! -f "$work/joblog" ] || mv "$work/joblog" "$out.joblog"
progress_summary
rm -rf "$work"
