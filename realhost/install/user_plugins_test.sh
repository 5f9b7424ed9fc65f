#!/usr/bin/env bash
# Plugins the user installed stay out of the tests: with a broken
# libDorvelFilter.so in both per-user plugin folders of the home ctest is
# started from, real-host cases still pass, and that home is left as it was.
# The broken file does break a host that runs with that home, so the cases
# pass only because ctest gives them a home of the build's own.
#   user_plugins_test.sh TEST_DIR RUNNER CASES
# TEST_DIR is a folder of the build with tests; CASES a ctest regex.
set -euo pipefail
tests="$1" runner="$2" cases="$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
user="$work/user-home"
mkdir -p "$user/.avisynth" "$user/.local/lib/avisynth"
echo "not a plugin" >"$user/.avisynth/libDorvelFilter.so"
cp "$user/.avisynth/libDorvelFilter.so" "$user/.local/lib/avisynth/"
(cd "$user" && find . | sort) >"$work/before.txt"

cat >"$work/script.avs" <<'AVS'
BlankClip(length=10, width=64, height=48, fps=25, pixel_type="YV12")
AVS
if HOME="$user" "$runner" --frames 1 "$work/script.avs" >"$work/direct.txt" 2>&1; then
  echo "a host run with the planted home did not stumble over the broken module:"; cat "$work/direct.txt"; exit 1
fi
grep -q "Cannot load file '$user/.*libDorvelFilter.so'" "$work/direct.txt" ||
  { echo "a host run with the planted home failed otherwise:"; cat "$work/direct.txt"; exit 1; }

# ctest, as a developer starts it, with the planted home as HOME (the
# fixtures, such as the media the outer run reads, are left alone).
(cd "$tests" && HOME="$user" XDG_DATA_HOME="$user/.local/share" ctest -R "$cases" --no-tests=error \
  -FA ".*" --output-on-failure) >"$work/ctest.txt" 2>&1 || { cat "$work/ctest.txt"; exit 1; }
grep -E "tests passed" "$work/ctest.txt"
(cd "$user" && find . | sort) >"$work/after.txt"
diff "$work/before.txt" "$work/after.txt" || { echo "the tests wrote into the user's home"; exit 1; }
