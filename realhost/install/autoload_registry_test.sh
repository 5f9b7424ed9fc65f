#!/usr/bin/env bash
# On Windows the host finds the installed module by itself, with no
# LoadPlugin in the script, once the registry value its family reads names
# the folder: a GCC-built host reads PluginDir+GCC under
# HKEY_CURRENT_USER\Software\Avisynth. `cmake --install` into a folder of
# the user's choosing puts DorvelFilter.dll into its plugins64+ or plugins+.
# Without the value the script must fail.
#   autoload_registry_test.sh WINE_RUN BUILD_DIR RUNNER
set -euo pipefail
wine_run="$1" build="$2" runner="$3"
key='HKCU\Software\Avisynth'
value='PluginDir+GCC'
work=$(mktemp -d)
trap '"$wine_run" reg delete "$key" /v "$value" /f >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/AviSynth+" >/dev/null
module=$(find "$work/AviSynth+" -name DorvelFilter.dll)
case "$(basename "$(dirname "$module")")" in
  plugins64+ | plugins+) ;;
  *) echo "installed as $module, not in the host's plugin folder"; exit 1 ;;
esac
folder=$(dirname "$module")

cat >"$work/script.avs" <<'AVS'
t = BlankClip(length=10, width=64, height=48, fps=25, pixel_type="YV12", audio_rate=48000)
DorvelFilter("CountingSource", [3, ["frames", 10]], t)
AVS

"$wine_run" reg delete "$key" /v "$value" /f >/dev/null 2>&1 || true
if "$wine_run" "$runner" --no-load --frames 2 "$work/script.avs" >"$work/without.txt" 2>&1; then
  echo "the script ran although no registry value named the module's folder:"; cat "$work/without.txt"; exit 1
fi
grep -q "no function named 'DorvelFilter'" "$work/without.txt"

"$wine_run" reg add "$key" /v "$value" /t REG_SZ /d "Z:${folder//\//\\}" /f >/dev/null
"$wine_run" "$runner" --no-load --frames 2 "$work/script.avs" | tr -d '\r' | tee "$work/with.txt"
grep -q '^frame 1 ' "$work/with.txt"
grep -q '^counting_opens=1 ' "$work/with.txt"
echo "autoload: the host loaded $module through $value"
