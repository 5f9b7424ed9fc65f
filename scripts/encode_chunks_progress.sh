# The progress of scripts/encode_chunks.sh, read from the files its jobs
# write while they run (a chunk's log, and its exit status at its end):
# chunks done, running and left, frames done of the total, frames per second
# over all jobs since the start, and the time left. On a terminal the line is rewritten in place every
# second; otherwise a plain line is written every few seconds
# (ENCODE_CHUNKS_PROGRESS_SECONDS, 5 by default). Sourced by encode_chunks.sh,
# whose variables it reads.

# Frames an encoder has taken so far, from its log: x264's own progress
# ("[12.5%] 25/200 frames"), or dorvel_y4m's ("25 frames written").
progress_frames_in_log() {  # LOG
  tr '\r' '\n' <"$1" 2>/dev/null |
    sed -n -e 's/^\[[0-9.]*%\] \([0-9]*\)\/[0-9]* frames.*/\1/p' -e 's/^dorvel_y4m: \([0-9]*\) frames written$/\1/p' |
    tail -n 1
}

progress_duration() {  # SECONDS
  printf '%d:%02d:%02d' $(($1 / 3600)) $(($1 / 60 % 60)) $(($1 % 60))
}

progress_line() {
  local k file base done_chunks=0 running=0 done_frames=$kept_frames partial elapsed fps_now rest
  # One look at the folder, so that the counts belong to one moment.
  local -A ended=() succeeded=() logged=()
  for file in "$work"/chunk_*.status; do
    [ -f "$file" ] || continue
    base=${file%.status}
    ended[$base]=1
    [ "$(<"$file")" != 0 ] || succeeded[$base]=1
  done
  for file in "$work"/chunk_*.log; do
    [ -f "$file" ] && logged[${file%.log}]=1
  done
  for k in "${pending[@]}"; do
    base=$(name "$k")
    if [ -n "${succeeded[$base]:-}" ]; then
      done_chunks=$((done_chunks + 1))
      done_frames=$((done_frames + $(length_of "$k")))
    elif [ -z "${ended[$base]:-}" ] && [ -n "${logged[$base]:-}" ]; then
      running=$((running + 1))
      partial=$(progress_frames_in_log "$base.log")
      done_frames=$((done_frames + ${partial:-0}))
    fi
  done
  # The last line, once every chunk ended, measures up to that moment, as
  # the summary does.
  elapsed=$((${encoded_at:-$(date +%s)} - started))
  [ "$elapsed" -gt 0 ] || elapsed=1
  fps_now=$(awk -v f=$((done_frames - kept_frames)) -v s="$elapsed" 'BEGIN { printf "%.1f", f / s }')
  rest="unknown"
  if [ "$done_frames" -gt "$kept_frames" ]; then
    rest=$(progress_duration $(((frames - done_frames) * elapsed / (done_frames - kept_frames))))
  fi
  echo "chunks $((kept + done_chunks)) done, $running running, $((chunks - kept - done_chunks - running)) left;" \
    "frames $done_frames of $frames; $fps_now fps encoded since the start; $rest left"
}

progress_loop() {
  local every=${ENCODE_CHUNKS_PROGRESS_SECONDS:-5}
  [ -t 2 ] && every=1
  # The pause is waited for in the wait builtin, which a signal ends at once.
  local pause
  trap 'kill "$pause" 2>/dev/null; exit 0' TERM
  while true; do
    sleep "$every" >/dev/null 2>&1 &
    pause=$!
    wait "$pause"
    if [ -t 2 ]; then
      printf '\r\033[K%s' "$(progress_line)" >&2
    else
      echo "encode_chunks: $(progress_line)" >&2
    fi
  done
}

progress_start() {
  progress_loop &
  progress_pid=$!
}

# Ends the updates with the last count, on a line of its own.
progress_stop() {
  kill "$progress_pid" 2>/dev/null || true
  wait "$progress_pid" 2>/dev/null || true
  if [ -t 2 ]; then
    printf '\r\033[K' >&2
  fi
  echo "encode_chunks: $(progress_line)" >&2
}

# The end: the time of the whole run; the frames this run encoded, the time
# the chunks took and their speed, measured as the progress line measures it
# (from the start until the last chunk ended); the time of the join and the
# audio after that; and the peak memory of the largest chunk (of those GNU
# time measured). `encoded_at` is when the last chunk ended.
progress_summary() {
  local elapsed encoding encoded=$((frames - kept_frames)) peak
  elapsed=$(($(date +%s) - started))
  encoding=$((${encoded_at:-$started} - started))
  peak=$(cat "$work"/chunk_*.figures 2>/dev/null | awk 'NF == 2 && $2 > most { most = $2 } END { if (most) print int(most / 1024) }')
  echo "encode_chunks: $out: $frames frames from $chunks chunks in $(progress_duration "$elapsed");" \
    "$encoded encoded in $(progress_duration "$encoding")" \
    "at $(awk -v f="$encoded" -v s="$encoding" 'BEGIN { printf "%.1f", f / (s > 0 ? s : 1) }') fps," \
    "then joined in $(progress_duration $((elapsed - encoding)));" \
    "peak memory of the largest chunk ${peak:-unknown}${peak:+ MiB}"
}
