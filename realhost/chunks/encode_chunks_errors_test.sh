#!/usr/bin/env bash
# scripts/encode_chunks.sh when things go wrong, and at its edges: a missing
# tool, a script that does not load, a chunk whose source is missing (which
# chunk, its log, nothing of it left as if done), the same command again once
# the source is back (the finished chunks kept), a work folder it did not
# make, --check, options that reach GNU parallel, the script's own options
# after OUT, the script's frame named for a chunk that fails inside its range,
# and chunks of a single frame.
#   encode_chunks_errors_test.sh SOURCE_DIR HOST_LIB_DIR MODULE FFMS2_PLUGIN MEDIA_DIR RUNNER
set -euo pipefail
source "$(dirname "$0")/encode_chunks_work.sh"
# expect_error PATTERN COMMAND...: the command fails, and says PATTERN.
expect_error() {
  local pattern="$1"
  shift
  if "$@" >out.txt 2>err.txt; then
    fail "succeeded: $*"
  fi
  grep -q -e "$pattern" err.txt || fail "'$pattern' not in the errors of $*: $(cat err.txt)"
}
frames_in() { ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1"; }

# Four parts of 50 frames behind the module, one of them looked up by a name
# that can be taken away.
for i in 1 2 3 4; do ln -s "$media/part0$i.mkv" "p$i.mkv"; done
cat >four.avs <<EOF
LoadPlugin("$ffms2")
LoadPlugin("$module")
DorvelFilterLimit(2)
T = BlankClip(FFVideoSource("p1.mkv"), length=50)
function Part(int i, clip T) { return DorvelFilter("FFVideoSource", ["p" + String(i) + ".mkv"], T) }
Part(1, T) ++ Part(2, T) ++ Part(3, T) ++ Part(4, T)
EOF

# Without GNU parallel: a PATH of everything else.
mkdir bin
ln -sf /usr/bin/* /bin/* bin/
rm bin/parallel
PATH="$work/bin" expect_error "needs parallel (GNU parallel" bash "$encode" four.avs 50 out.mkv
expect_error "CHUNK_FRAMES must be a whole number above 0, not 'ten'" bash "$encode" four.avs ten out.mkv

# A script that does not load: the host's message, and nothing written.
printf 'BlankClip()\nNoSuchFilter()\n' >broken.avs
expect_error "There is no function named 'NoSuchFilter'" bash "$encode" broken.avs 50 broken.mkv
grep -q "broken.avs does not load" err.txt || fail "the script is not named: $(cat err.txt)"
[ ! -e broken.mkv ] && [ ! -e broken.mkv.chunks ] || fail "output left by a script that does not load"

# Part 3 gone: chunk 3 fails, one job at a time, so chunk 4 never starts.
mv p3.mkv away.mkv
expect_error "chunk 3 of 4 (frames 100-149): failed on this machine" \
  bash "$encode" four.avs 50 out.mkv --jobs 1 -- --qp 0 --preset ultrafast
grep -q "its log: $work/out.mkv.chunks/chunk_0003.log" err.txt || fail "chunk 3's log not named: $(cat err.txt)"
grep -q "Can't open 'p3.mkv'" err.txt || fail "the source's error not shown: $(cat err.txt)"
grep -q "chunk 4 of 4 (frames 150-199): not run" err.txt || fail "chunk 4 not reported: $(cat err.txt)"
[ -s out.mkv.chunks/chunk_0001.mkv ] && [ -s out.mkv.chunks/chunk_0002.mkv ] || fail "finished chunks missing"
[ ! -e out.mkv.chunks/chunk_0003.mkv ] && [ ! -e out.mkv.chunks/chunk_0003.partial.mkv ] ||
  fail "the failed chunk's file was left"
[ ! -e out.mkv ] || fail "a joined file after a failed chunk"

# The same command once part 3 is back: chunks 1 and 2 kept, and the whole file.
mv away.mkv p3.mkv
bash "$encode" four.avs 50 out.mkv --jobs 1 -- --qp 0 --preset ultrafast >out.txt
grep -q "2 chunks (100 frames) kept from an earlier run" out.txt || fail "the finished chunks were not kept: $(cat out.txt)"
[ "$(frames_in out.mkv)" = 200 ] || fail "the joined file does not hold 200 frames"
[ ! -e out.mkv.chunks ] || fail "the chunks' folder left after success"

# A folder of that name that the script did not make is not touched.
mkdir mine.mkv.chunks
touch mine.mkv.chunks/keep
expect_error "was not made by encode_chunks.sh" bash "$encode" four.avs 50 mine.mkv
[ -e mine.mkv.chunks/keep ] || fail "a folder the script did not make was changed"

# --check on this machine alone: frame 0 encodes; with an option the encoder
# refuses, the check names the machine and the log, and shows the error.
bash "$encode" --check four.avs 50 checked.mkv -- --qp 0 >out.txt
grep -q "^encode_chunks: this machine: ready" out.txt && grep -q "all 1 machines can take part" out.txt ||
  fail "--check: $(cat out.txt)"
[ ! -e checked.mkv.check ] && [ ! -e checked.mkv ] || fail "--check left files after success"
expect_error "^encode_chunks: this machine: the encode failed; its log: $work/checked.mkv.check/check\..*\.log$" \
  bash "$encode" --check four.avs 50 checked.mkv -- --no-such-x264-option
grep -q "no-such-x264-option" err.txt || fail "x264's complaint not shown: $(cat err.txt)"
mkdir mine.mkv.check
touch mine.mkv.check/keep
expect_error "mine.mkv.check exists and was not made by encode_chunks.sh" bash "$encode" --check four.avs 50 mine.mkv
[ -e mine.mkv.check/keep ] || fail "a check folder the script did not make was changed"

# Options before -- reach GNU parallel, which refuses this one.
expect_error "GNU parallel ran no chunk" bash "$encode" four.avs 50 out.mkv --no-such-option
grep -q -e "no-such-option" err.txt || fail "parallel's own message is not shown: $(cat err.txt)"

# The script's own options after OUT are its own, not GNU parallel's: an
# encoder it does not know is refused by it, and --no-audio and --fresh work.
expect_error "encode_chunks: --encoder must be x264, x265 or svt-av1, not 'x266'" \
  bash "$encode" four.avs 50 own.mkv --jobs 1 --encoder x266
! grep -q -i "usage\|parallel" err.txt || fail "the option reached GNU parallel: $(cat err.txt)"
bash "$encode" four.avs 100 own.mkv --jobs 2 --no-audio --fresh -- --qp 0 --preset ultrafast >out.txt 2>err.txt ||
  fail "own options after OUT: $(cat err.txt)"
[ "$(frames_in own.mkv)" = 200 ] || fail "own options after OUT: the file does not hold 200 frames"

# A chunk that fails inside its range names the script's frame beside the
# chunk's own: part 3 starts at the script's frame 100, chunk 2's frame 25.
mv p3.mkv away.mkv
expect_error "chunk 2 of 3 (frames 75-149): failed on this machine" \
  bash "$encode" four.avs 75 late.mkv --jobs 1 -- --qp 0 --preset ultrafast
grep -q "reading frame 25 (frame 100 of the script)" err.txt || fail "the script's frame not named: $(cat err.txt)"
mv away.mkv p3.mkv

# Chunks of one frame: the first must be frame 0 alone, not the whole clip.
printf 'BlankClip(length=3, width=64, height=48, pixel_type="YV12").ShowFrameNumber()\n' >three.avs
bash "$encode" three.avs 1 three.mkv -- --qp 0 >/dev/null
[ "$(frames_in three.mkv)" = 3 ] || fail "three chunks of one frame do not make three frames"
echo "encode_chunks.sh: every error case reported as expected"
