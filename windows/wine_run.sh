#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine: CMake's emulator for the
# Windows builds' tests. The Wine prefix is made on first use (once, however
# many tests start at the same time) and belongs to the build.
#   wine_run.sh PREFIX win64|win32 DLL_FOLDERS PROGRAM [ARGS...]
# With DORVEL_WINE_PREFIX_SUFFIX set, the prefix is PREFIX followed by it: a
# second ctest of the same build runs under a Wine server of its own.
# A program that starts a prefix's server, Wine's services or its desktop
# hands them its output, and ctest waits for that output to end: such a test
# stood in ctest until the server quit at the run's end, minutes later and,
# in a long run, past its timeout. So where no server runs, this starts one
# apart, with the services and the desktop, none of them with any test's
# output or the lock below; the server stays 30 s after its last program,
# so that the moment between two tests keeps it.
# DLL_FOLDERS (':'-separated Linux paths) go on Wine's search path for DLLs,
# such as the host's AviSynth.dll and the runtime it needs.
set -euo pipefail
export WINEPREFIX="$1${DORVEL_WINE_PREFIX_SUFFIX:-}" WINEARCH="$2"
dll_folders="$3"
shift 3
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer in a new prefix
if [ "$WINEARCH" = win64 ]; then wine=/usr/lib/wine/wine64; else wine=wine; fi

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine" wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
  # `wineserver -p` exits with 2 where a server runs already.
  if setsid wineserver -p30 </dev/null >/dev/null 2>&1 9>&-; then
    setsid -w "$wine" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    setsid "$wine" explorer.exe /desktop </dev/null >/dev/null 2>&1 9>&- &
  fi
) 9>"$WINEPREFIX.lock"

winepath=""
IFS=':' read -r -a folders <<<"$dll_folders"
for folder in "${folders[@]}"; do
  [ -n "$folder" ] && winepath+="${winepath:+;}Z:${folder//\//\\}"
done
export WINEPATH="$winepath"
exec "$wine" "$@"
