#!/usr/bin/env bash
# The host finds the installed module by itself, with no LoadPlugin in the
# script, wherever a user may install it:
#   - in $HOME/.avisynth, which every release reads (USER_HOME holds the
#     module there, installed by install_for_user.sh);
#   - from 3.7.4 on, also in $HOME/.local/lib/avisynth, on every system
#     (3.7.3 reads a per-user folder fixed when it was built);
#   - from 3.7.4 on, also in <dir>/avisynth beside each LD_LIBRARY_PATH
#     entry: `cmake --install` into a prefix puts it in
#     <prefix>/<libdir>/avisynth.
# Without any of them the script must fail.
#   autoload_test.sh BUILD_DIR RUNNER USER_HOME HOST_VERSION
# A cross build names in DORVEL_EMULATOR the program that runs RUNNER.
set -euo pipefail
build="$1" user_home="$3" version="$4"
runner=(${DORVEL_EMULATOR:+"$DORVEL_EMULATOR"} "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home"

cat >"$work/script.avs" <<'AVS'
t = BlankClip(length=10, width=64, height=48, fps=25, pixel_type="YV12", audio_rate=48000)
DorvelFilter("CountingSource", [3, ["frames", 10]], t)
AVS

plays() {  # plays OUTPUT: the script played with the module found by the host
  grep -q '^frame 1 ' "$1" && grep -q '^counting_opens=1 ' "$1"
}

# An empty home: no plugins from the user's own folders.
if HOME="$work/home" "${runner[@]}" --no-load --frames 2 "$work/script.avs" >"$work/without.txt" 2>&1; then
  echo "the script ran although the module was in no folder the host loads from:"; cat "$work/without.txt"; exit 1
fi
grep -q "no function named 'DorvelFilter'" "$work/without.txt"

HOME="$user_home" "${runner[@]}" --no-load --frames 2 "$work/script.avs" | tee "$work/home.txt"
plays "$work/home.txt"
echo "autoload: the host $version loaded the module from \$HOME/.avisynth"

cmake --install "$build" --prefix "$work/prefix" >/dev/null
module=$(find "$work/prefix" -name libDorvelFilter.so)
[ "$(basename "$(dirname "$module")")" = avisynth ] || { echo "installed as $module, not in an avisynth folder"; exit 1; }

mkdir -p "$work/local-home/.local/lib/avisynth"
cp "$module" "$work/local-home/.local/lib/avisynth/"
if [ "$(printf '%s\n' 3.7.4 "$version" | sort -V | head -n 1)" = 3.7.4 ]; then
  HOME="$work/local-home" "${runner[@]}" --no-load --frames 2 "$work/script.avs" | tee "$work/local.txt"
  plays "$work/local.txt"
  echo "autoload: the host $version loaded the module from \$HOME/.local/lib/avisynth"
elif HOME="$work/local-home" "${runner[@]}" --no-load --frames 2 "$work/script.avs" >"$work/local.txt" 2>&1; then
  echo "the host $version is not known to read \$HOME/.local/lib/avisynth, but it loaded the module from there:"
  cat "$work/local.txt"
  exit 1
fi

if [ "$(printf '%s\n' 3.7.4 "$version" | sort -V | head -n 1)" = 3.7.4 ]; then
  HOME="$work/home" LD_LIBRARY_PATH="$(dirname "$(dirname "$module")")" \
    "${runner[@]}" --no-load --frames 2 "$work/script.avs" | tee "$work/prefix.txt"
  plays "$work/prefix.txt"
  echo "autoload: the host $version loaded $module beside its library path"
fi
