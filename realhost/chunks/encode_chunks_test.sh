#!/usr/bin/env bash
# scripts/encode_chunks.sh over the README's quick start splice (300 parts of
# 50 frames, the suite's thirty files under the README's names): 4 chunks,
# encoded losslessly by x264 under GNU parallel with 2 jobs, once with the
# module and once with stand-in functions that call each source at once, as a
# script without the module does. The file joined from the chunks made with
# the module must decode to exactly the frames of the whole script, and each
# of its chunk processes must peak at under a tenth of the memory of the same
# chunk without the module. Prints both.
#   encode_chunks_test.sh SOURCE_DIR HOST_LIB_DIR MODULE FFMS2_PLUGIN MEDIA_DIR RUNNER
set -euo pipefail
source_dir="$1" hostlib="$2" module="$3" ffms2="$4" media="$5" runner="$6"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
export HOME="$work/home" LD_LIBRARY_PATH="$hostlib"  # no plugins from the user's folders
mkdir -p "$HOME" "$work/parts"

for ((i = 1; i <= 300; i++)); do
  ln -s "$media/$(printf part%02d.mkv $(((i - 1) % 30)))" "$work/parts/$(printf part%03d.mkv "$i")"
done
# The quick start's script, as the README has it.
awk '/^```avisynth$/ { inside = 1; next } /^```/ { if (found) exit; inside = 0 }
     inside && /^# splice\.avs/ { found = 1 } found' "$source_dir/README.md" >"$work/parts/splice.avs"
grep -q 'for (i = 2, 300)' "$work/parts/splice.avs" || fail "no quick start splice of 300 parts in README.md"
printf 'LoadPlugin("%s")\nLoadPlugin("%s")\nImport("splice.avs")\n' "$ffms2" "$module" >"$work/parts/with.avs"
cat >"$work/parts/without.avs" <<EOF
LoadPlugin("$ffms2")
function DorvelFilterLimit(int limit) { return limit }
function DorvelFilter(string name, val parameters, clip "vi_clip") { return Apply(name, parameters[0]) }
Import("splice.avs")
EOF

# Runs from another folder: relative names must still resolve in the script's.
cd "$work"
declare -A peak
for kind in with without; do
  bash "$source_dir/scripts/encode_chunks.sh" "parts/$kind.avs" 3750 "$kind.mkv" --jobs 2 -- --qp 0 --preset ultrafast |
    tee "$kind.out"
  for ((k = 1; k <= 4; k++)); do
    peak[$kind,$k]=$(sed -n "s|^chunk $k/4, .*: encoded, .* peak memory \([0-9]*\) MiB$|\1|p" "$kind.out")
    [ -n "${peak[$kind,$k]}" ] || fail "$kind the module: no figures for chunk $k"
  done
  [ ! -e "$kind.mkv.chunks" ] || fail "the chunks' folder was left after success"
done

# Frame by frame: the joined file against the whole script.
digests() { "$runner" --no-load "$1" | grep -E '^(video|frame) ' | sed 's/ parity=.*//'; }
printf 'LoadPlugin("%s")\nFFVideoSource("%s", cache=false)\n' "$ffms2" "$work/with.mkv" >joined.avs
(cd parts && digests with.avs) >script.txt
digests joined.avs >joined.txt
grep -q '^video 320x240 .* frames=15000 ' script.txt || fail "the script is not of 15000 frames: $(head -1 script.txt)"
[ "$(grep -c '^frame ' joined.txt)" = 15000 ] || fail "the joined file does not decode to 15000 frames"
cmp script.txt joined.txt || fail "the joined file's frames differ from the script's"
echo "the joined file decodes to the script's 15000 frames"

small=0
for ((k = 1; k <= 4; k++)); do
  with=${peak[with,$k]} without=${peak[without,$k]}
  echo "chunk $k: peak memory $with MiB with the module, $without MiB without ($((100 * with / without)) %)"
  [ $((with * 10)) -lt "$without" ] && small=$((small + 1))
done
[ "$small" = 4 ] || fail "a chunk with the module took a tenth or more of the memory it took without"
