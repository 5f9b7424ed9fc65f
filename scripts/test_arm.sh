#!/usr/bin/env bash
# Cross-builds the module and its tests for Linux on 64-bit ARM (aarch64) and
# 32-bit ARM (armhf) with Debian's cross compilers, warnings as errors, and
# runs them under qemu-user: the stand-in host's tests, and the real-host
# cases that need no decoder or client against every host in
# ../shared/hosts-linux-<arch>.
#   bash scripts/test_arm.sh                aarch64, then armhf
#   bash scripts/test_arm.sh armhf          one of them
# With DORVEL_REQUIRE_REAL_HOSTS=1 an architecture without a host is an error.
set -euo pipefail
cd "$(dirname "$0")/.."

arches=("$@")
[ "${#arches[@]}" -gt 0 ] || arches=(aarch64 armhf)
packages=(qemu-user googletest)
for arch in "${arches[@]}"; do
  case "$arch" in
    aarch64) packages+=(g++-aarch64-linux-gnu) ;;
    armhf) packages+=(g++-arm-linux-gnueabihf) ;;
    *) echo "unknown architecture: $arch (aarch64 or armhf)" >&2; exit 2 ;;
  esac
done
bash scripts/install-deps.sh "${packages[@]}"

for arch in "${arches[@]}"; do
  hosts=""
  for prefix in ../shared/hosts-linux-"$arch"/*/; do
    [ -f "$prefix/lib/libavisynth.so" ] && hosts+="${hosts:+;}$(cd "$prefix" && pwd)"
  done
  if [ -z "$hosts" ] && [ "${DORVEL_REQUIRE_REAL_HOSTS:-0}" = 1 ]; then
    echo "no Linux $arch host found in ../shared/hosts-linux-$arch" >&2
    exit 1
  fi

  echo "== Linux $arch (cross-built, under qemu-user)"
  build="build/linux-$arch"
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cross/linux-$arch.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDORVEL_WARNINGS_AS_ERRORS=ON -DAVISYNTH_PREFIX="$hosts" >/dev/null
  cmake --build "$build" -j "$(nproc)"
  (cd "$build" && ctest --output-on-failure -j "$(nproc)")
done
