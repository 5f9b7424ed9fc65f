#!/usr/bin/env bash
# Cross-builds the module and its tests for Windows with MinGW-w64, warnings
# as errors, and runs them under Wine: the stand-in host's tests, and the
# real-host suite against every MinGW-built host of the same architecture in
# ../shared/hosts-windows.
#   bash scripts/test_windows.sh            x64, then x86
#   bash scripts/test_windows.sh x86        one of them
# With DORVEL_REQUIRE_REAL_HOSTS=1 an architecture without a host is an error.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/cross_test.sh

arches=("$@")
[ "${#arches[@]}" -gt 0 ] || arches=(x64 x86)
bash scripts/install-deps.sh mingw-w64 googletest wine wine64 wine32:i386

for arch in "${arches[@]}"; do
  case "$arch" in
    x64) format=pei-x86-64 ;;
    x86) format=pei-i386 ;;
    *) echo "unknown architecture: $arch (x64 or x86)" >&2; exit 2 ;;
  esac
  hosts=""
  for prefix in ../shared/hosts-windows/*/; do
    dll="$prefix/bin/AviSynth.dll"
    [ -f "$dll" ] || continue
    if x86_64-w64-mingw32-objdump -f "$dll" | grep -q "file format $format\$"; then
      hosts+="${hosts:+;}$(cd "$prefix" && pwd)"
    fi
  done
  cross_test "Windows $arch (MinGW-w64, under Wine)" "build/win-$arch" "windows/mingw-$arch.cmake" "$hosts"
done
