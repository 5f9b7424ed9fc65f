# Sourced by the cross-building test scripts: cross_test TITLE BUILD TOOLCHAIN
# HOSTS configures BUILD with TOOLCHAIN and the ;-separated host prefixes
# HOSTS, warnings as errors, builds it and runs its tests under the emulator
# the toolchain names. No host is an error with DORVEL_REQUIRE_REAL_HOSTS=1.
source scripts/run_ctest.sh

cross_test() {
  local title="$1" build="$2" toolchain="$3" hosts="$4"
  if [ -z "$hosts" ] && [ "${DORVEL_REQUIRE_REAL_HOSTS:-0}" = 1 ]; then
    echo "no host found for $title" >&2
    exit 1
  fi
  echo "== $title"
  # Of CMake's report, only what the build leaves out and why.
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDORVEL_WARNINGS_AS_ERRORS=ON -DDORVEL_BUILD_TESTS=ON -DDORVEL_BUILD_DEMO=ON -DAVISYNTH_PREFIX="$hosts" |
    sed -n "s/^-- \(.*left out.*\)$/$title: \1/p"
  cmake --build "$build" -j "$(nproc)"
  # A failed test is run once more: Wine now and then drops a test's
  # connection to its server ("wine client error: ... Connection reset by
  # peer"), failing a test that has nothing wrong. Every case here also runs
  # natively, where none is repeated.
  run_ctest "$build" --repeat until-pass:2
}
