#!/usr/bin/env bash
# Makes the release archives in out/release/: the module built (Release,
# warnings as errors) for Linux x86-64, aarch64 and armhf and for Windows x64
# and x86 (MinGW-w64), each packed by CPack with README.md, LICENSE,
# CHANGELOG.md and docs/ as DorvelFilter-VERSION-PLATFORM.tar.gz (.zip for
# Windows), and SHA256SUMS; then tests them (tests/release/release_test.sh).
#   bash scripts/release.sh              the archives, then their test
#   bash scripts/release.sh --no-test    the archives alone
set -euo pipefail
cd "$(dirname "$0")/.."
run_test=1
[ "${1:-}" = --no-test ] && run_test=0
bash scripts/install-deps.sh mingw-w64 g++-aarch64-linux-gnu g++-arm-linux-gnueabihf zip unzip
[ "$run_test" = 0 ] || bash scripts/install-deps.sh ffmpeg qemu-user googletest wine wine64 wine32:i386

out=out/release
rm -rf "$out"
mkdir -p "$out"
version=""
# PLATFORM:TOOLCHAIN; the first is the build machine's own.
for entry in linux-x86_64: linux-aarch64:cross/linux-aarch64.cmake linux-armhf:cross/linux-armhf.cmake \
  windows-x64:windows/mingw-x64.cmake windows-x86:windows/mingw-x86.cmake; do
  platform="${entry%%:*}" toolchain="${entry#*:}"
  build="build/release-$platform"
  echo "== $platform"
  cmake -S . -B "$build" ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} -DCMAKE_BUILD_TYPE=Release \
    -DDORVEL_WARNINGS_AS_ERRORS=ON -DDORVEL_BUILD_TESTS=OFF -DDORVEL_BUILD_DEMO=OFF -DDORVEL_BUILD_TOOLS=OFF \
    -DDORVEL_RELEASE=ON -DDORVEL_RELEASE_PLATFORM="$platform" >/dev/null
  cmake --build "$build" --target DorvelFilter -j "$(nproc)"
  (cd "$build" && cpack -B "$PWD/package" >/dev/null)
  mv "$build"/package/DorvelFilter-*-"$platform".* "$out/"
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
done
(cd "$out" && sha256sum DorvelFilter-* >SHA256SUMS)
ls -l "$out"
[ "$run_test" = 0 ] || bash tests/release/release_test.sh "$out" "$version"
