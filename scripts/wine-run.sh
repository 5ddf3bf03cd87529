#!/usr/bin/env bash
# Runs a Windows program under wine in a scratch prefix, headless: ALSA's default PCM is
# the null device, so wine's real DirectSound works without a sound card or display.
#
# SONAFLUX_WINE_BITS=64 starts the program with wine's 64-bit loader in a 64-bit prefix of
# its own (scripts/wine64-run.sh sets it). Debian's /usr/bin/wine always takes the 32-bit
# loader when that is installed, so 64-bit programs never go through it.
set -eu
scratch=${SONAFLUX_WINE_HOME:-${TMPDIR:-/tmp}/sonaflux-wine}
mkdir -p "$scratch/home"
export HOME="$scratch/home"
if [ ! -f "$HOME/.asoundrc" ]; then
  printf 'pcm.!default { type null }\nctl.!default { type hw card 0 }\n' > "$HOME/.asoundrc"
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY
if [ "${SONAFLUX_WINE_BITS:-32}" = 64 ]; then
  export WINEPREFIX=${WINEPREFIX:-$scratch/prefix64}
  export WINEARCH=win64
  loader=/usr/lib/wine/wine64
  [ -x "$loader" ] || loader=$(command -v wine64)
  export WINELOADER=$loader  # what wine starts the prefix's own programs with
else
  export WINEPREFIX=${WINEPREFIX:-$scratch/prefix}
  loader=wine
fi

# A new prefix is made once, by one process: ctest starts programs in parallel, and two
# wine processes making the same prefix at once fail ("chdir to .../server-...").
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  exec 9> "$scratch/.prefix-${SONAFLUX_WINE_BITS:-32}.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$loader" wineboot --init > /dev/null 2>&1 || true
    wineserver -w || true  # the registry is on disk once the server has gone
  fi
  exec 9>&-
fi
exec "$loader" "$@"
