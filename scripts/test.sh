#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test.
#   bash scripts/test.sh                     the ordinary build, then Windows and ARM
#   bash scripts/test.sh --native            the ordinary build alone (no Wine, qemu or MinGW)
#   bash scripts/test.sh address,undefined   under AddressSanitizer and UBSan
#   bash scripts/test.sh thread              under ThreadSanitizer
#   bash scripts/test.sh --native -- -R X    arguments after -- go to ctest (here:
#                                            only the cases whose names match X)
#
# The ordinary build also runs the real-host suite against every AviSynth+
# prefix in AVISYNTH_PREFIX (a ;-separated list), by default the hosts in
# ../shared/hosts beside the checkout, or else the one pkg-config finds; then
# scripts/test_windows.sh builds for Windows x64 and x86 and runs the tests
# under Wine, and scripts/test_arm.sh builds for Linux on aarch64 and armhf
# and runs them under qemu-user. With DORVEL_REQUIRE_REAL_HOSTS=1 a missing
# host or tool is an error.
set -euo pipefail
cd "$(dirname "$0")/.."

ctest_args=()
for ((i = 1; i <= $#; i++)); do
  if [ "${!i}" = -- ]; then
    ctest_args=("${@:i+1}")
    set -- "${@:1:i-1}"
    break
  fi
done
sanitize="${1:-}"
cross=1
if [ "$sanitize" = --native ]; then
  sanitize="" cross=0
fi
build="build/test${sanitize:+-${sanitize//,/-}}"
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORVEL_WARNINGS_AS_ERRORS=ON
  -DDORVEL_BUILD_TESTS=ON -DDORVEL_BUILD_DEMO=ON -DDORVEL_BUILD_TOOLS=ON)
packages=()
if [ -n "$sanitize" ]; then
  # The hosts are not built with the sanitizers; their suite runs once, below.
  options+=(-DDORVEL_SANITIZE="$sanitize" -DDORVEL_BUILD_REAL_HOST_SUITE=OFF)
else
  options+=(-DDORVEL_BUILD_BENCHMARKS=ON)  # built, not run: they are run by hand
  packages+=(clang)                         # checks the host interface for MSVC's targets
  hosts="${AVISYNTH_PREFIX:-}"
  if [ -z "$hosts" ]; then
    for prefix in ../shared/hosts/*/; do
      [ -f "$prefix/lib/libavisynth.so" ] && hosts+="${hosts:+;}$(cd "$prefix" && pwd)"
    done
  fi
  if [ -z "$hosts" ] && ! command -v pkg-config >/dev/null; then
    bash scripts/install-deps.sh pkg-config
  fi
  # Empty, CMake asks pkg-config: the host installed on this machine.
  options+=(-DAVISYNTH_PREFIX="$hosts")
  if [ -n "$hosts" ] || pkg-config --exists avisynth; then
    packages+=(ffmpeg x264 parallel time python3)  # the decoder's libraries, its test media, the client, chunked encoding
    packages+=(x265 svt-av1 mkvtoolnix openssh-server openssh-client)  # chunked encoding's other encoders, over ssh
    packages+=(valgrind)  # the end of a chunk under valgrind
  elif [ "${DORVEL_REQUIRE_REAL_HOSTS:-0}" = 1 ]; then
    echo "no AviSynth+ host found for the real-host suite (AVISYNTH_PREFIX, ../shared/hosts)" >&2
    exit 1
  fi
  # The decoder the real-host suite loads; else the suite's default, or the
  # one the README's FFMS2 section installed.
  [ -z "${DORVEL_FFMS2_PLUGIN:-}" ] || options+=(-DDORVEL_FFMS2_PLUGIN="$DORVEL_FFMS2_PLUGIN")
  [ "${DORVEL_REQUIRE_REAL_HOSTS:-0}" = 1 ] && options+=(-DDORVEL_REAL_HOST_SUITE_WHOLE=ON)
fi
bash scripts/install-deps.sh "${packages[@]}"

# CMake's own report stays out of the way, save what the build leaves out
# and why; that is said again after the tests.
configure_log="$build.configure.log"
mkdir -p "$(dirname "$build")"
cmake -S . -B "$build" "${options[@]}" >"$configure_log"
left_out=$(sed -n 's/^-- \(.*\(left out\|not built\|not on macOS\).*\)$/\1/p' "$configure_log")
say_left_out() { [ -z "$left_out" ] || sed "s/^/test.sh: $1/" <<<"$left_out"; }
say_left_out ""
cmake --build "$build" -j "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
# LeakSanitizer does not take threads' storage as roots: GCC 12's runtime
# reads a garbage range for the dynamic TLS of a library the stand-in host
# loads (the module), and its tracer dies at exit ("Tracer caught signal 11")
# after the case passed. The module keeps nothing in thread storage but an
# int, so no leak can hide there; a block kept only in TLS would be reported.
export LSAN_OPTIONS="use_tls=0:${LSAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:${TSAN_OPTIONS:-}"
source scripts/run_ctest.sh
run_ctest "$build" "${ctest_args[@]}"
say_left_out "not tested here: "

if [ -z "$sanitize" ] && [ "$cross" = 1 ]; then
  bash scripts/test_windows.sh
  bash scripts/test_arm.sh
fi
