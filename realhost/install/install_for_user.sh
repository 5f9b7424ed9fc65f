#!/usr/bin/env bash
# Installs the module as the README tells a user to from source: its block of
# commands under "From source", run as written with HOME set to WORK_DIR/home
# (so the autoload cases can point a host at it) and the build in
# WORK_DIR/build. First the install goes to a staging folder (DESTDIR), whose
# every file must lie under the folder the user named, $HOME/.avisynth; the
# build must hold the module and nothing else built; then the same commands
# install for real.
#   install_for_user.sh SOURCE_DIR WORK_DIR CXX_COMPILER
set -euo pipefail
source="$1" work="$2" cxx="$3"
rm -rf "$work"
mkdir -p "$work/home"
home="$work/home" build="$work/build" staged="$work/staged"

commands=$(awk '/^\*\*From source\*\*/ { on = 1 } on && /^```/ { if (inside) exit; inside = 1; next } inside' \
  "$source/README.md")
grep -q -- '--install' <<<"$commands" || { echo "no install commands under \"From source\" in the README"; exit 1; }
commands=$(sed -e "s| -S \. | -S '$source' |" -e "s| -B build| -B '$build'|" -e "s|--build build|--build '$build'|" \
  -e "s|--install build|--install '$build'|" <<<"$commands")
echo "the README's commands, as run here:"
echo "$commands"

HOME="$home" DESTDIR="$staged" CXX="$cxx" bash -euc "$commands" >"$work/commands.log" 2>&1 ||
  { cat "$work/commands.log"; exit 1; }

echo "installed (staged under DESTDIR):"
(cd "$staged" && find . ! -type d | sed 's|^\.||')
outside=$(cd "$staged" && find . ! -type d | sed 's|^\.||' | grep -v -F "$home/.avisynth/" || true)
[ -z "$outside" ] || { echo "installed outside $home/.avisynth:"; echo "$outside"; exit 1; }
[ -f "$staged$home/.avisynth/libDorvelFilter.so" ] || { echo "the module was not installed"; exit 1; }

# What the build made: the module's objects and the module alone.
others=$(find "$build" -name '*.o' ! -path '*/CompilerId*' ! -path "$build/CMakeFiles/DorvelFilter.dir/*")
built=$(find "$build" -path '*/CMakeFiles' -prune -o -type f \( -name '*.so*' -o -name '*.a' -o -perm -u+x \) -print)
if [ -n "$others" ] || [ "$built" != "$build/libDorvelFilter.so" ]; then
  echo "the build made more than the module:"
  printf '%s\n' "$built" "$others"
  exit 1
fi

HOME="$home" CXX="$cxx" bash -euc "$commands" >>"$work/commands.log" 2>&1 || { cat "$work/commands.log"; exit 1; }
[ -f "$home/.avisynth/libDorvelFilter.so" ]
echo "installed: $home/.avisynth/libDorvelFilter.so, and nothing else"
