#!/usr/bin/env bash
# Checks the boundaries of the libraries: libSonaflux.so exports exactly CreateInterface;
# each Sonaflux.dll is PE32 (i686) or PE32+ (x86_64) as its name in the build says,
# imports only KERNEL32, USER32 and msvcrt, and exports only CreateInterface (undecorated).
# Usage: check-exports.sh LIB.so I686.dll X86_64.dll
set -euo pipefail
so=$1 dll32=$2 dll64=$3
fail() { echo "check-exports: $*" >&2; exit 1; }

exports=$(nm -D --defined-only "$so" | awk '{print $3}' | sort | tr '\n' ' ')
[ "$exports" = "CreateInterface " ] || fail "$so exports: $exports"
echo "$so: exports CreateInterface only"

check_dll() {  # check_dll <dll> <objdump> <expected format> <label>
  local dll=$1 objdump=$2 format=$3 label=$4 dump imports dllexports
  dump=$("$objdump" -p "$dll")
  grep -q "file format $format" <<<"$dump" || fail "$dll is not $label"
  imports=$(grep 'DLL Name:' <<<"$dump" | awk '{print $3}' | sort | tr '\n' ' ')
  [ "$imports" = "KERNEL32.dll USER32.dll msvcrt.dll " ] || fail "$dll imports: $imports"
  dllexports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
               grep -E '^\s+\[' | awk '{print $3}' | tr '\n' ' ')
  [ "$dllexports" = "CreateInterface " ] || fail "$dll exports: $dllexports"
  echo "$dll: $label, imports $imports, exports CreateInterface only"
}
check_dll "$dll32" i686-w64-mingw32-objdump pei-i386 PE32
check_dll "$dll64" x86_64-w64-mingw32-objdump pei-x86-64 PE32+
