#!/usr/bin/env bash
# What the Windows DLL offers and needs, read from its tables: it exports the
# entry function alone, under the name the host of its family looks for, and
# imports nothing but Windows' own DLLs and those named as allowed (the
# runtime that must be shared with the host).
#   windows_exports_test.sh OBJDUMP DLL ENTRY_NAME [ALLOWED_DLL...]
set -euo pipefail
objdump="$1" dll="$2" entry="$3"
shift 3
allowed=(KERNEL32.dll msvcrt.dll "$@")

exports=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p')
echo "exports: $exports"
[ "$exports" = "$entry" ]

imports=$("$objdump" -p "$dll" | sed -n 's/^\s*DLL Name: //p')
echo "imports:" $imports
for name in $imports; do
  printf '%s\n' "${allowed[@]}" | grep -qixF "$name" || { echo "$dll needs $name beside it"; exit 1; }
done
