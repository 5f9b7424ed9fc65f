#!/usr/bin/env bash
# Every per-user row of the README's install table (a folder under $HOME),
# its commands run as written, on a system whose library folder is lib
# (Debian, Ubuntu, Arch) and on one whose library folder is lib64 (Fedora,
# openSUSE, RHEL): the module must land in the row's folder, which the hosts
# read whatever the system. BUILD_DIR is install_for_user.sh's, with the
# module built; the rows only configure and install.
#   install_table_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source="$1" build="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

rows=$(grep '^| `\$HOME' "$source/README.md" || true)
[ -n "$rows" ] || { echo "no rows for folders under \$HOME in the README's install table"; exit 1; }
case=0
while IFS= read -r row; do
  folder=$(printf '%s\n' "$row" | sed 's/^| `\([^`]*\)`.*/\1/')
  commands=$(printf '%s\n' "$row" | awk -F'|' '{ print $5 }' | grep -o '`cmake [^`]*`' | tr -d '`' |
    sed -e "s| -S \. | -S '$source' |" -e "s| -B build| -B '$build'|" -e "s|--install build|--install '$build'|")
  for libdir in lib lib64; do
    case=$((case + 1))
    home="$work/home-$case"
    mkdir -p "$home"
    # As a first configure on such a system leaves the cache: the library
    # folder CMake picks there, and the install folder at its default.
    cmake -S "$source" -B "$build" -DCMAKE_INSTALL_LIBDIR="$libdir" -UDORVEL_PLUGIN_DIR >/dev/null
    while IFS= read -r command; do
      HOME="$home" bash -c "$command" >/dev/null
    done <<<"$commands"
    expected="$home/${folder#\$HOME/}/libDorvelFilter.so"
    if [ ! -f "$expected" ]; then
      echo "with the library folder $libdir, the row for $folder installed the module as:"
      find "$home" -name libDorvelFilter.so
      exit 1
    fi
    echo "library folder $libdir: the row for $folder installs into it"
  done
done <<<"$rows"
