#!/usr/bin/env bash
# Runs a 64-bit Windows program under wine64 (see wine-run.sh); the mingw64 preset's
# ctest emulator.
SONAFLUX_WINE_BITS=64 exec "$(dirname "$0")/wine-run.sh" "$@"
