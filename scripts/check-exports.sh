#!/usr/bin/env bash
# Checks the boundaries of both libraries: libSonaflux.so exports exactly CreateInterface;
# Sonaflux.dll is PE32, imports only KERNEL32, USER32 and msvcrt, exports only
# CreateInterface (undecorated).
set -euo pipefail
so=$1 dll=$2
fail() { echo "check-exports: $*" >&2; exit 1; }

exports=$(nm -D --defined-only "$so" | awk '{print $3}' | sort | tr '\n' ' ')
[ "$exports" = "CreateInterface " ] || fail "$so exports: $exports"
echo "$so: exports CreateInterface only"

dump=$(i686-w64-mingw32-objdump -p "$dll")
grep -q 'file format pei-i386' <<<"$dump" || fail "$dll is not PE32"
imports=$(grep 'DLL Name:' <<<"$dump" | awk '{print $3}' | sort | tr '\n' ' ')
[ "$imports" = "KERNEL32.dll USER32.dll msvcrt.dll " ] || fail "$dll imports: $imports"
dllexports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | grep -E '^\s+\[' | awk '{print $3}' | tr '\n' ' ')
[ "$dllexports" = "CreateInterface " ] || fail "$dll exports: $dllexports"
echo "$dll: PE32, imports $imports, exports CreateInterface only"
