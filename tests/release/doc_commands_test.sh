#!/usr/bin/env bash
# Runs, as written, the shell blocks of the docs that need no host: the
# list of part lengths in docs/checking-and-log.md and of their audio samples
# in README.md (with ffprobe, over files the suite makes, one of them
# shorter), and the cross builds in
# docs/platforms.md for Windows x64 with MinGW-w64 and for Linux on aarch64.
# Each runs in a folder and a home of its own; build folders are moved from
# build/... into that folder, so that the test scripts' own builds stay as
# they are.
#   doc_commands_test.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir="$PWD"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "doc commands: $*" >&2; exit 1; }
bash scripts/install-deps.sh ffmpeg bc  # the blocks' own tools, as a reader has them

# block PAGE FIRST_LINE: the ```sh block of PAGE whose first line starts so.
block() {
  awk -v first="$2" '/^```sh$/ { inside = 1; n = 0; text = ""; next }
    inside && /^```$/ { if (found) { printf "%s", text; exit } inside = 0; next }
    inside { if (n++ == 0 && index($0, first) == 1) found = 1; text = text $0 "\n" }' "$1"
}
# run NAME COMMANDS: runs them with bash -e in $work/NAME, HOME $work/NAME-home.
run() {
  mkdir -p "$work/$1" "$work/$1-home"
  (cd "$work/$1" && HOME="$work/$1-home" bash -euo pipefail -c "$2") >"$work/$1.log" 2>&1 ||
    { cat "$work/$1.log"; fail "the commands for $1 failed:"$'\n'"$2"; }
}

echo "== docs/checking-and-log.md: the lengths of the parts, by ffprobe"
commands=$(block docs/checking-and-log.md 'for f in part*.mkv')
[ -n "$commands" ] || fail "no block of ffprobe over part*.mkv in docs/checking-and-log.md"
bash realhost/support/make_media.sh "$work/media" 3 >/dev/null
mkdir -p "$work/lengths"
for i in 0 1 2; do ln -s "$work/media/part0$i.mkv" "$work/lengths/part00$((i + 1)).mkv"; done
ln -s "$work/media/short30.mkv" "$work/lengths/part004.mkv"
run lengths "$commands"
got=$(cat "$work/lengths/lengths.avs")
[ "$got" = "lengths = [50,50,50,30]" ] || fail "lengths.avs holds '$got', not the parts' 50, 50, 50 and 30 frames"
echo "lengths.avs: $got"

echo "== README.md: the audio samples of the parts, by ffprobe"
commands=$(block README.md 'for f in part*.mkv')
[ -n "$commands" ] || fail "no block of ffprobe over part*.mkv in README.md"
run lengths "$commands"
got=$(cat "$work/lengths/samples.avs")
[ "$got" = "samples = [96000,96000,96000,57600]" ] || fail "samples.avs holds '$got', not the parts' 96000, 96000, 96000 and 57600 samples"
echo "samples.avs: $got"

echo "== docs/platforms.md: the module cross-built with MinGW-w64, and for aarch64"
for pair in "win-x64:cmake -S . -B build/win-x64:DorvelFilter.dll" \
  "linux-aarch64:apt-get install g++-aarch64-linux-gnu:libDorvelFilter.so"; do
  name="${pair%%:*}" rest="${pair#*:}"
  first="${rest%:*}" module="${rest##*:}"
  commands=$(block docs/platforms.md "$first")
  [ -n "$commands" ] || fail "no block starting '$first' in docs/platforms.md"
  grep -q "build/$name" <<<"$commands" || fail "the block starting '$first' does not build in build/$name"
  # The source folder as the commands expect it, its build folder the work's.
  commands="cd '$source_dir'"$'\n'"${commands//build\/$name/$work/$name/build}"
  if [ "$(id -u)" != 0 ]; then
    # apt-get needs root: the package it installs must be there already.
    package=$(sed -n 's/^apt-get install \([^ ]*\).*/\1/p' <<<"$commands")
    [ -z "$package" ] || dpkg -s "$package" >/dev/null 2>&1 || fail "$package is missing (apt-get needs root)"
    commands=$(sed '/^apt-get install /d' <<<"$commands")
  fi
  run "$name" "$commands"
  [ -f "$work/$name/build/$module" ] || fail "the block starting '$first' built no $module"
  echo "$name: built $module"
done
