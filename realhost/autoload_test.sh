#!/usr/bin/env bash
# The host finds the installed module by itself: `cmake --install` puts it
# into <prefix>/lib/avisynth, and a host whose library path holds
# <prefix>/lib loads it at startup, with no LoadPlugin in the script.
#   autoload_test.sh BUILD_DIR RUNNER
set -euo pipefail
build="$1" runner="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"  # no plugins from the user's own folders
mkdir -p "$HOME"

cmake --install "$build" --prefix "$work/prefix" >/dev/null
module=$(find "$work/prefix" -name libDorvelFilter.so)
[ "$(basename "$(dirname "$module")")" = avisynth ] || { echo "installed as $module, not in an avisynth folder"; exit 1; }
libdir=$(dirname "$(dirname "$module")")

cat >"$work/script.avs" <<'AVS'
t = BlankClip(length=10, width=64, height=48, fps=25, pixel_type="YV12")
DorvelFilter("CountingSource", [3, ["frames", 10]], t)
AVS

if "$runner" --no-load --frames 1 "$work/script.avs" >"$work/without.txt" 2>&1; then
  echo "the script ran although the module was in no folder the host loads from:"; cat "$work/without.txt"; exit 1
fi
LD_LIBRARY_PATH="$libdir" "$runner" --no-load --frames 2 "$work/script.avs" | tee "$work/with.txt"
grep -q '^frame 1 ' "$work/with.txt"
grep -q '^counting_opens=1 ' "$work/with.txt"
echo "autoload: the host loaded $module by itself"
