#!/usr/bin/env bash
# Sets up the machine, builds the release preset and plays sonaflux-play's built-in demo
# tune for a few seconds. Without an audio device (SDL_AUDIODRIVER=dummy or none, as in
# CI) the demo is rendered to build/demo.wav instead.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
build=${SONAFLUX_DEMO_BUILD:-build/release}
cmake --preset release -B "$build" >/dev/null
cmake --build "$build" --target sonaflux-play
play=$build/tools/sonaflux-play
mkdir -p build

case "${SDL_AUDIODRIVER:-}" in
  dummy|none|disk)
    echo "no audio device (SDL_AUDIODRIVER=$SDL_AUDIODRIVER): rendering the demo to build/demo.wav"
    "$play" --render build/demo.wav --seconds 8 --fade-out 1500
    ;;
  *)
    # sonaflux-play itself renders to the fallback file when no device opens.
    "$play" --seconds 8 --fade-out 1500 --fallback-wav build/demo.wav
    ;;
esac
