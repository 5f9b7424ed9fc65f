# Sourced by the test scripts: run_ctest BUILD [CTEST_ARGS...] runs BUILD's
# tests with CTEST_ARGS. The cases labelled "waits" (openings that sleep,
# holders that stand still for the module's bounds) spend their time asleep,
# so they run in a ctest of their own beside the rest, with a Wine server of
# their own where the build is for Windows; their report follows the rest's,
# and a failure in either fails. A build without such cases (the sanitizer
# builds have no real-host suite) runs one ctest: a ctest that finds no case
# closes on "No tests were found", which reads as a run that tested nothing.
run_ctest() {
  local build="$1"
  shift
  local waits_log="$build/waits-ctest.log" waits_pid status=0
  if ! (cd "$build" && ctest -N -L waits "$@") | grep -q "Total Tests: [1-9]"; then
    (cd "$build" && ctest --output-on-failure -j "$(nproc)" "$@")
    return
  fi
  (cd "$build" && DORVEL_WINE_PREFIX_SUFFIX=-waits ctest --output-on-failure -j 4 -L waits "$@") >"$waits_log" 2>&1 &
  waits_pid=$!
  (cd "$build" && ctest --output-on-failure -j "$(nproc)" -LE waits "$@") || status=$?
  wait "$waits_pid" || status=$?
  cat "$waits_log"
  return "$status"
}
