#!/usr/bin/env bash
# Builds FFMS2 by the commands of the README's FFMS2 section, as written,
# against the host in HOST_PREFIX, with WORK_DIR/home as the home: only the
# clone is replaced by unpacking the source of the README's revision from
# SOURCES_DIR (ffms2-REV.tar.gz), and the packages the commands install are
# first installed by scripts/install-deps.sh (so that the README's own
# apt-get line, run as written, finds them in place). Prints the path of the
# plugin the commands installed.
#   readme_ffms2.sh HOST_PREFIX SOURCES_DIR WORK_DIR
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
prefix="$(cd "$1" && pwd)" sources="$(cd "$2" && pwd)" work="$3"
rm -rf "$work"
mkdir -p "$work/home" "$work/build"

# The section's block, its continued lines joined.
block=$(awk '/^### A decoder on Linux: FFMS2/ { on = 1 } on && /^```/ { if (inside) exit; inside = 1; next } inside' \
  "$repo/README.md" | sed -e ':a' -e '/\\$/N; s/\\\n//; ta')
fail() { echo "readme_ffms2: $*" >&2; exit 1; }
grep -q -- '--enable-avisynth' <<<"$block" || fail "the README's FFMS2 commands do not pass --enable-avisynth"
grep -q '^git clone ' <<<"$block" || fail "no 'git clone' line in the README's FFMS2 commands"
rev=$(sed -n 's/^rev=\([^ ]*\).*/\1/p' <<<"$block")
[ -f "$sources/ffms2-$rev.tar.gz" ] || fail "no source for the README's revision '$rev' in $sources"

packages=$(sed -n 's/.*apt-get install -y \(.*\)$/\1/p' <<<"$block")
[ -n "$packages" ] || fail "no 'apt-get install -y' line in the README's FFMS2 commands"
# shellcheck disable=SC2086  # a list of package names
bash "$repo/scripts/install-deps.sh" $packages >&2

commands=$(sed -e "s|^host=.*|host='$prefix'|" \
  -e "s|^git clone .*|mkdir ffms2 \&\& tar -xzf '$sources/ffms2-$rev.tar.gz' --strip-components=1 -C ffms2|" <<<"$block")
(cd "$work/build" && HOME="$work/home" bash -euo pipefail -c "$commands") >"$work/build.log" 2>&1 ||
  { tail -40 "$work/build.log" >&2; fail "the README's FFMS2 commands failed (log: $work/build.log)"; }
plugin="$work/home/.avisynth/libffms2.so"
[ -f "$plugin" ] || fail "the README's FFMS2 commands installed no $plugin"
nm -D --defined-only "$plugin" | grep AvisynthPluginInit3 >/dev/null || fail "$plugin has no AvisynthPluginInit3"
echo "$plugin"
