#!/usr/bin/env bash
# A user's machine: a fresh copy of the checkout with no ../shared beside it,
# an AviSynth+ host installed into a prefix that pkg-config finds (as one in
# /usr/local is found; here a temporary prefix, so the machine's own
# /usr/local is never touched), FFMS2 built by the README's commands against
# that host, and a home of its own. There the project's commands must pass
# as written: `scripts/test.sh --native`, the release test (playing the
# native archive, and naming the archives it has no host for), and the
# README's per-user install, whose files are listed and must all lie in the
# folder it names.
#
# Of the native suite it runs the cases that prove what such a machine
# changes, and nothing the ordinary build ran already: the host found through
# pkg-config (its suite is named "installed"), loading the module there by
# path and from the user's folders, the README's FFMS2 under the decoder,
# README and client cases, and the install as written. The rest of the suite
# is the same code against the same host release, and runs in the ordinary
# build. The release archives are those of RELEASE_DIR when given (CI's
# release stage made them from the same commit); otherwise scripts/release.sh
# makes them in the copy.
#   user_machine_test.sh [HOST_DIR [RELEASE_DIR]]   default: ../shared/hosts/avisynth-3.7.5
set -euo pipefail
cd "$(dirname "$0")/../.."
repo="$PWD"
host_dir="$(cd "${1:-../shared/hosts/avisynth-3.7.5}" && pwd)"
release_dir=""
[ -z "${2:-}" ] || release_dir="$(cd "$2" && pwd)"
sources="$(cd ../shared/sources && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "user machine: $*" >&2; exit 1; }

# The host as `make install` leaves it: its pkg-config file names the prefix.
prefix="$work/prefix"
mkdir -p "$prefix"
cp -a "$host_dir/include" "$host_dir/lib" "$prefix/"
sed -i "s|^prefix=.*|prefix=$prefix|" "$prefix/lib/pkgconfig/avisynth.pc"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
unset AVISYNTH_PREFIX DORVEL_FFMS2_PLUGIN
[ "$(pkg-config --variable=prefix avisynth)" = "$prefix" ] || fail "pkg-config does not find the host in $prefix"

# The checkout's files (tracked, and new ones not ignored), without builds.
clone="$work/clone/DorvelFilter"
mkdir -p "$clone"
git ls-files -z -c -o --exclude-standard | xargs -0 cp --parents -t "$clone"
[ ! -e "$clone/../shared" ] || fail "the copy sees a ../shared"
export HOME="$work/home"
mkdir -p "$HOME"

echo "== FFMS2 by the README's commands, against the host in $prefix"
ffms2=$(bash tests/release/readme_ffms2.sh "$prefix" "$sources" "$work/ffms2")
echo "built: $ffms2"

echo "== scripts/test.sh --native, the cases a user's machine changes"
cases='^realhost/(install_for_user|install_table|make_media)$|^installed/(Autoload|UserPluginsIgnored|X264|EncodeChunks)$'
cases+='|^installed/(RealHostRules|RealDecoder[A-Za-z]*|Readme[A-Za-z]*)[./]'
log="$work/test.log"
(cd "$clone" && DORVEL_REQUIRE_REAL_HOSTS=1 DORVEL_FFMS2_PLUGIN="$ffms2" bash scripts/test.sh --native -- -R "$cases") |
  tee "$log"
grep -q "100% tests passed" "$log" || fail "scripts/test.sh --native did not pass every test"
! grep -q "^test.sh: .*left out" "$log" || fail "scripts/test.sh left cases out"
for case in install_for_user install_table installed/Autoload installed/X264 installed/EncodeChunks; do
  grep -E "Test +#[0-9]+: realhost/$case |Test +#[0-9]+: $case " "$log" | grep Passed >/dev/null ||
    fail "the case $case did not pass"
done
grep -E "Test +#[0-9]+: installed/(RealDecoder|Readme)" "$log" | grep Passed >/dev/null ||
  fail "no decoder case ran on the README's FFMS2"

log="$work/release.log"
if [ -n "$release_dir" ]; then
  echo "== tests/release/release_test.sh on the archives in $release_dir"
  version=$(sed -n '/^project(DorvelFilter/,/)/s/^ *VERSION \([0-9.]*\).*/\1/p' "$clone/CMakeLists.txt")
  (cd "$clone" && DORVEL_FFMS2_PLUGIN="$ffms2" bash tests/release/release_test.sh "$release_dir" "$version") | tee "$log"
else
  echo "== scripts/release.sh"
  (cd "$clone" && DORVEL_FFMS2_PLUGIN="$ffms2" bash scripts/release.sh) | tee "$log"
fi
grep -q "linux-x86_64.tar.gz plays the quick start" "$log" || fail "the native archive was not played"
grep -q "^release: not tested, for want of a host: .*windows-x64" "$log" ||
  fail "the release test did not name the archives it had no host for"

echo "== the README's per-user install"
bash "$clone/realhost/install/install_for_user.sh" "$clone" "$work/per-user" c++
