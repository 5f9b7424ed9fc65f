#!/usr/bin/env bash
# The release archives as a user gets them: SHA256SUMS holds each one's sum,
# and each one, unpacked into a fresh plugin folder, plays the quick start of
# the README it carries in a host of its platform, found there with no
# LoadPlugin: natively with FFMS2 beside it, the Windows ones under Wine
# (the folder named by the registry value a MinGW-built host reads), the ARM
# ones under qemu-user. Where no decoder exists for the platform, a script
# function of FFVideoSource's name stands in for it. The hosts run through
# the runners of the test scripts' builds, which are configured if missing
# and then built only as far as the runner. The hosts are those in ../shared
# beside the checkout, and for Linux x86-64 else the one pkg-config finds; an
# archive without a host of its platform is named and left untested, which
# with DORVEL_REQUIRE_REAL_HOSTS=1 is an error.
#   release_test.sh ARCHIVE_DIR VERSION
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/../.."
archives="$(cd "$1" && pwd)" version="$2"
work=$(mktemp -d)
cleanup=()
trap 'for c in "${cleanup[@]}"; do eval "$c"; done; rm -rf "$work"' EXIT

(cd "$archives" && sha256sum --quiet -c SHA256SUMS)
[ "$(wc -l <"$archives/SHA256SUMS")" -eq 5 ] || { echo "SHA256SUMS does not list five archives"; exit 1; }

# Three files of the suite's media under the quick start's 300 names.
bash realhost/support/make_media.sh "$work/media" 3 >/dev/null
mkdir "$work/parts"
for i in $(seq 1 300); do
  ln -s "$work/media/part0$(((i - 1) % 3)).mkv" "$work/parts/$(printf 'part%03d.mkv' "$i")"
done

# runner BUILD TOOLCHAIN HOST_GLOB FORMAT: the path of a runner in BUILD for
# a host of HOST_GLOB (of object format FORMAT, for Windows), or for a native
# build else the host pkg-config finds; nothing when there is no such host.
# A BUILD the test scripts made keeps its hosts: its first one runs.
runner() {
  local build="$1" toolchain="$2" glob="$3" format="$4" prefix="" found=0 dir
  for dir in $glob; do
    [ -d "$dir" ] || continue
    if [ -n "$format" ]; then
      x86_64-w64-mingw32-objdump -f "$dir/bin/AviSynth.dll" | grep -q "file format $format\$" || continue
    fi
    prefix="$(cd "$dir" && pwd)" found=1
    break
  done
  if [ "$found" = 0 ] && [ -z "$toolchain" ] && pkg-config --exists avisynth 2>/dev/null; then
    found=1  # an empty AVISYNTH_PREFIX: CMake asks pkg-config too
  fi
  [ "$found" = 1 ] || return 0
  local cached=""
  [ -f "$build/CMakeCache.txt" ] && cached=$(sed -n 's/^AVISYNTH_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")
  if [ ! -f "$build/CMakeCache.txt" ] || { [ -z "$cached" ] && [ -n "$prefix" ]; }; then
    cmake -S . -B "$build" ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DDORVEL_WARNINGS_AS_ERRORS=ON -DDORVEL_BUILD_TESTS=ON -DAVISYNTH_PREFIX="$prefix" >/dev/null
    cached="$prefix"
  fi
  local name=installed
  [ -z "$cached" ] || name=$(basename "${cached%%;*}")
  case "$toolchain" in cross/linux-*) name="$(sed -n 's/^set(DORVEL_PLATFORM \(.*\))$/\1/p' "$toolchain")-$name" ;; esac
  cmake --build "$build" --target "dorvel_run_$name" -j "$(nproc)" >/dev/null
  ls "$PWD/$build/realhost/dorvel_run_$name"*
}

# Archives left untested, and why.
untested=()
# FFMS2 for the native archive: the project's build beside the checkout, the
# one DORVEL_FFMS2_PLUGIN names, or the one the README's FFMS2 section
# installs; else the stand-in.
ffms2=""
for candidate in "${DORVEL_FFMS2_PLUGIN:-}" ../shared/plugins/ffms2-2.40/libffms2.so "$HOME/.avisynth/libffms2.so"; do
  [ -n "$candidate" ] && [ -f "$candidate" ] && { ffms2="$(cd "$(dirname "$candidate")" && pwd)/$(basename "$candidate")"; break; }
done

# The quick start of the archive's README, with the stand-in decoder first
# where there is none, and the lines the host printed for it.
quick_start() {
  local readme="$1" stand_in="$2"
  {
    if [ "$stand_in" = 1 ]; then
      echo 'function FFVideoSource(string file) {'
      echo '    return BlankClip(length=50, width=320, height=240, fps=25, pixel_type="YV12", audio_rate=0)'
      echo '}'
    fi
    awk '/^## Quick start/ { on = 1 } on && /^```avisynth$/ { inside = 1; next } inside && /^```$/ { exit } inside' "$readme"
  } >"$work/parts/splice.avs"
  grep -q DorvelFilter "$work/parts/splice.avs" || { echo "no quick start in $readme"; exit 1; }
}

# played OUTPUT: the splice's 300 parts of 50 frames, its first 120 frames played.
played() {
  tr -d '\r' <"$1" | grep -q '^video 320x240 .* frames=15000 ' &&
    tr -d '\r' <"$1" | grep -q '^frame 119 ' ||
    { echo "the quick start did not play:"; cat "$1"; return 1; }
}

unpack() {  # unpack ARCHIVE FOLDER: the archive's one folder's contents into FOLDER
  local archive="$1" folder="$2" base
  base=$(basename "$archive")
  base="${base%.tar.gz}" base="${base%.zip}"
  mkdir -p "$work/unpacked" "$folder"
  case "$archive" in
    *.tar.gz) tar -xzf "$archive" -C "$work/unpacked" ;;
    *.zip) (cd "$work/unpacked" && unzip -q "$archive") ;;
  esac
  local file
  for file in README.md LICENSE CHANGELOG.md scripts/encode_chunks.sh scripts/encode_chunks_progress.sh scripts/encode_chunks_cache.sh \
    scripts/script_frames.py scripts/script_audio.py; do
    [ -f "$work/unpacked/$base/$file" ] || { echo "$base has no $file"; exit 1; }
  done
  # The chunked encoding of docs/chunked-encoding.md, ready to run.
  [ -x "$work/unpacked/$base/scripts/encode_chunks.sh" ] || { echo "$base: scripts/encode_chunks.sh is not executable"; exit 1; }
  cp -r "$work/unpacked/$base/." "$folder/"
}

# The README's commands for a release archive, as written, in a download
# folder holding the archives and in a home of their own.
commands=$(awk '/^\*\*From a release archive\*\*/ { on = 1 } on && /^```/ { if (inside) exit; inside = 1; next } inside' README.md)
grep -q 'tar -xzf' <<<"$commands" || { echo "no commands under \"From a release archive\" in README.md"; exit 1; }
mkdir -p "$work/download" "$work/home-readme"
cp "$archives"/* "$work/download/"
(cd "$work/download" && HOME="$work/home-readme" bash -euc "$commands") >"$work/readme-install.txt" 2>&1 ||
  { echo "the README's commands for a release archive failed:"; cat "$work/readme-install.txt"; exit 1; }
[ -f "$work/home-readme/.avisynth/libDorvelFilter.so" ] ||
  { echo "the README's commands for a release archive installed no \$HOME/.avisynth/libDorvelFilter.so"; exit 1; }
echo "release: the README's commands install the linux-x86_64 archive into \$HOME/.avisynth"

for platform in linux-x86_64 linux-aarch64 linux-armhf; do
  archive="$archives/DorvelFilter-$version-$platform.tar.gz"
  home="$work/home-$platform"
  unpack "$archive" "$home/.avisynth"
  [ -f "$home/.avisynth/libDorvelFilter.so" ] || { echo "$archive holds no libDorvelFilter.so"; exit 1; }
  case "$platform" in
    linux-x86_64)
      glob="../shared/hosts/*/"
      run=("$(runner build/test "" "$glob" "")")
      glob+=" (nor one pkg-config finds)"
      stand_in=1
      if [ -n "$ffms2" ]; then
        ln -s "$ffms2" "$home/.avisynth/"
        stand_in=0
      elif [ "${DORVEL_REQUIRE_REAL_HOSTS:-0}" = 1 ]; then
        echo "release: no FFMS2 for $(basename "$archive")"; exit 1
      else
        echo "release: no FFMS2 here (DORVEL_FFMS2_PLUGIN): $(basename "$archive") plays with a stand-in for it"
      fi ;;
    linux-*)
      arch="${platform#linux-}"
      glob="../shared/hosts-linux-$arch/*/"
      run=("$(runner "build/$platform" "cross/$platform.cmake" "$glob" "")")
      [ -z "${run[0]}" ] || run=("$PWD/build/$platform/emulator_run" "${run[@]}")
      stand_in=1 ;;
  esac
  if [ -z "${run[0]}" ]; then
    untested+=("$(basename "$archive"): no host in $glob")
    continue
  fi
  quick_start "$home/.avisynth/README.md" "$stand_in"
  (cd "$work/parts" && HOME="$home" "${run[@]}" --no-load --frames 120 splice.avs) >"$work/$platform.txt" 2>&1 || true
  played "$work/$platform.txt"
  echo "release: $(basename "$archive") plays the quick start from \$HOME/.avisynth"
done

key='HKCU\Software\Avisynth' value='PluginDir+GCC'
for arch in x64 x86; do
  case "$arch" in x64) format=pei-x86-64 ;; x86) format=pei-i386 ;; esac
  archive="$archives/DorvelFilter-$version-windows-$arch.zip"
  folder="$work/windows-$arch/plugins"
  unpack "$archive" "$folder"
  [ -f "$folder/DorvelFilter.dll" ] || { echo "$archive holds no DorvelFilter.dll"; exit 1; }
  exe=$(runner "build/win-$arch" "windows/mingw-$arch.cmake" "../shared/hosts-windows/*/" "$format")
  if [ -z "$exe" ]; then
    untested+=("$(basename "$archive"): no $format host in ../shared/hosts-windows/")
    continue
  fi
  wine_run="$PWD/build/win-$arch/wine_run"
  cleanup+=("'$wine_run' reg delete '$key' /v '$value' /f >/dev/null 2>&1 || true")
  "$wine_run" reg add "$key" /v "$value" /t REG_SZ /d "Z:${folder//\//\\}" /f >/dev/null
  quick_start "$folder/README.md" 1
  (cd "$work/parts" && HOME="$work/windows-$arch" "$wine_run" "$exe" --no-load --frames 120 splice.avs) \
    >"$work/windows-$arch.txt" 2>&1 || true
  "$wine_run" reg delete "$key" /v "$value" /f >/dev/null 2>&1 || true
  played "$work/windows-$arch.txt"
  echo "release: $(basename "$archive") plays the quick start from the folder $value names"
done

if [ "${#untested[@]}" -gt 0 ]; then
  printf 'release: not tested, for want of a host: %s\n' "${untested[@]}"
  [ "${DORVEL_REQUIRE_REAL_HOSTS:-0}" != 1 ] || exit 1
fi
