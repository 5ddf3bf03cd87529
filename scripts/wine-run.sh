#!/usr/bin/env bash
# Runs a Windows program under wine in a scratch prefix, headless: ALSA's default PCM is
# the null device, so wine's real DirectSound works without a sound card or display.
set -eu
scratch=${SONAFLUX_WINE_HOME:-${TMPDIR:-/tmp}/sonaflux-wine}
mkdir -p "$scratch/home"
export HOME="$scratch/home"
if [ ! -f "$HOME/.asoundrc" ]; then
  printf 'pcm.!default { type null }\nctl.!default { type hw card 0 }\n' > "$HOME/.asoundrc"
fi
export WINEPREFIX=${WINEPREFIX:-$scratch/prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY
exec wine "$@"
