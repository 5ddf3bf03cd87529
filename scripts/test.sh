#!/usr/bin/env bash
# Sets up a fresh machine (scripts/setup.sh) and runs every test: the native suites under
# ASan+UBSan (g++) and TSan (clang++), the cross-built suites under wine, the checks of
# what the two libraries export and import, and a bounded fuzz run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/setup.sh
export SONAFLUX_WINE_HOME=${SONAFLUX_WINE_HOME:-$root/build/wine}

log=$(mktemp)
trap 'rm -f "$log"' EXIT

suite() {  # suite <preset>
  echo "=== $1: configure and build"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  echo "=== $1: tests"
  ctest --preset "$1" 2>&1 | tee -a "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ]
}

suite asan
suite tsan
suite mingw

echo "=== library boundaries"
bash scripts/check-exports.sh build/asan/src/libSonaflux.so build/mingw/src/Sonaflux.dll

echo "=== fuzz smoke runs"
bash scripts/fuzz-smoke.sh "${SONAFLUX_FUZZ_SECONDS:-30}"

# One closing line over the three suites, e.g. "all suites: 42 passed, 0 failed".
awk '/^[0-9]+% tests passed/ { total += $NF; failed += $4 }
     END { printf "all suites: %d passed, %d failed\n", total - failed, failed }' "$log"
