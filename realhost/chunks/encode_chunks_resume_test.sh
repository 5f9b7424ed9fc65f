#!/usr/bin/env bash
# scripts/encode_chunks.sh stopped and run again, over a splice of four FFMS2
# parts behind the module (200 frames in 10 chunks, one job at a time, x264
# lossless on one thread, so that every run writes the same bytes; two jobs
# at a time where it is not stopped):
# - Ctrl-C (SIGINT to its process group) after some chunks: it says
#   "interrupted", keeps the finished chunks and says how many, reports no
#   chunk as failed or not run, and exits 130;
# - the same command again keeps them: their files are not written again
#   (same inode and mtime), and its job log has none of them;
# - the joined file is byte for byte the one an uninterrupted run makes;
# - a changed script, and --fresh, start afresh and say why.
#   encode_chunks_resume_test.sh SOURCE_DIR HOST_LIB_DIR MODULE FFMS2_PLUGIN MEDIA_DIR
set -euo pipefail
set -m  # each background encode in a process group of its own, as a terminal's job is
source "$(dirname "$0")/encode_chunks_work.sh"
for i in 1 2 3 4; do ln -s "$media/part0$i.mkv" "p$i.mkv"; done
cat >splice.avs <<EOF2
LoadPlugin("$ffms2")
LoadPlugin("$module")
DorvelFilterLimit(2)
T = BlankClip(FFVideoSource("p1.mkv"), length=50)
function Part(int i, clip T) { return DorvelFilter("FFVideoSource", ["p" + String(i) + ".mkv"], T) }
Part(1, T) ++ Part(2, T) ++ Part(3, T) ++ Part(4, T)
EOF2
run() {  # OUT [OPTIONS]
  local out="$1"
  shift
  bash "$encode" "$@" splice.avs 20 "$out" --jobs 2 -- --qp 0 --preset ultrafast --threads 1
}
done_chunks() { { find out.mkv.chunks -name 'chunk_*.mkv' ! -name '*.partial.mkv' 2>/dev/null || true; } | sort; }
# Starts the encode and sends it Ctrl-C once its job log has COUNT chunks more.
interrupt_after() {  # COUNT
  local before pid status=0
  before=$(done_chunks | wc -l)
  rm -f out.mkv.chunks/joblog  # the last run's, which the new one would remove a moment later
  rm -f out.mkv out.mkv.joblog
  # Started itself, not through a function: the job is the encode's shell.
  bash "$encode" splice.avs 20 out.mkv --jobs 1 -- --qp 0 --preset ultrafast --threads 1 >run.out 2>run.err &
  pid=$!
  for ((i = 0; i < 600; i++)); do
    [ "$(awk 'NR > 1 && $7 == 0' out.mkv.chunks/joblog 2>/dev/null | wc -l)" -ge "$1" ] && break
    sleep 0.1
  done
  kill -INT -- "-$pid"
  wait "$pid" || status=$?
  [ "$status" != 0 ] || fail "the encode ran to its end before it was stopped"
  [ "$status" = 130 ] || fail "Ctrl-C exits $status, not 130: $(cat run.err)"
  grep -q "^encode_chunks: interrupted; [0-9]* of 10 chunks are done and kept in $work/out.mkv.chunks" run.err ||
    fail "no word of the stop: $(cat run.err)"
  ! grep -q "not run\|failed on" run.err || fail "an interrupted chunk reported as a failure: $(cat run.err)"
  [ ! -e out.mkv ] || fail "a joined file after a stop"
  [ "$(done_chunks | wc -l)" -ge $((before + $1)) ] || fail "fewer chunks kept than were done: $(done_chunks)"
}
identities() { for file in "$@"; do stat -c '%n %i %.9Y' "$file"; done; }

run reference.mkv >/dev/null 2>&1
rm reference.mkv.joblog

interrupt_after 2
first=$(done_chunks)
identities $first >first.txt
interrupt_after 1
grep -q "^encode_chunks: $(wc -l <first.txt) chunks ([0-9]* frames) kept from an earlier run" run.out ||
  fail "the kept chunks are not counted: $(cat run.out)"
identities $first | cmp -s - first.txt || fail "kept chunks were written again: $(identities $first)"
second=$(done_chunks)
identities $second >second.txt

run out.mkv >run.out 2>run.err || fail "the last run failed: $(cat run.err)"
cmp -s out.mkv reference.mkv || fail "the resumed file differs from the uninterrupted one"
ran=$(awk -F '\t' 'NR > 1 { sub(/.*\//, "", $9); print $9 }' out.mkv.joblog | sort)
for file in $second; do
  ! grep -qx "$(basename "${file%.mkv}").sh" <<<"$ran" || fail "kept $file encoded again"
done
[ "$(wc -l <<<"$ran")" = $((10 - $(wc -l <second.txt))) ] || fail "the last run encoded: $ran"
echo "stopped twice, then resumed: $(wc -l <second.txt) chunks kept, the file identical to an uninterrupted run"

# A changed script: its chunks are not those of the old one.
interrupt_after 1
echo "# changed" >>splice.avs
run out.mkv >run.out 2>run.err || fail "the run after a change failed: $(cat run.err)"
grep -q "starting afresh (the script changed since its chunks were made)" run.out || fail "no reason given: $(cat run.out)"
[ "$(($(wc -l <out.mkv.joblog) - 1))" = 10 ] || fail "not every chunk encoded after the change"
cmp -s out.mkv reference.mkv || fail "the file after the change differs"
interrupt_after 1
run out.mkv --fresh >run.out 2>run.err || fail "the run with --fresh failed: $(cat run.err)"
grep -q "starting afresh (--fresh)" run.out || fail "--fresh is not said: $(cat run.out)"
[ "$(($(wc -l <out.mkv.joblog) - 1))" = 10 ] || fail "not every chunk encoded with --fresh"
echo "a changed script and --fresh start afresh"
