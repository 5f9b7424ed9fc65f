#!/usr/bin/env bash
# Installs the module as a user who picks the folder would: configure with
# DORVEL_PLUGIN_DIR naming $HOME/.avisynth (the per-user folder every host
# release loads from), build the module, `cmake --install`. HOME is
# WORK_DIR/home, so the autoload cases can point a host at it.
#   install_for_user.sh SOURCE_DIR WORK_DIR CXX_COMPILER
set -euo pipefail
source="$1" work="$2" cxx="$3"
rm -rf "$work"
mkdir -p "$work/home"
cmake -S "$source" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
  -DDORVEL_BUILD_TESTS=OFF -DDORVEL_BUILD_DEMO=OFF -DDORVEL_PLUGIN_DIR="$work/home/.avisynth" >/dev/null
cmake --build "$work/build" --target DorvelFilter -j "$(nproc)" >/dev/null
cmake --install "$work/build"
[ -f "$work/home/.avisynth/libDorvelFilter.so" ]
