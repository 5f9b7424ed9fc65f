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
source scripts/cross_test.sh

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
  cross_test "Linux $arch (cross-built, under qemu-user)" "build/linux-$arch" "cross/linux-$arch.cmake" "$hosts"
done
