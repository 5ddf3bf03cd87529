#!/usr/bin/env bash
# The Ogg Vorbis decode benchmark: the module's CPU per stream-second for N looping Vorbis
# streams beside the same music as PCM (softds manual clock), the first fill at Load, and
# SDL2_mixer playing the same Ogg file as the peer (one music stream, dummy output).
#
#   bench/vorbis-run.sh     10 s per stream count; SECONDS_EACH, STREAMS (default 1,8,32),
#                           BUILD_DIR (default build/bench) as for bench/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/bench}
streams=${VORBIS_STREAMS:-1,8,32}
seconds=${SECONDS_EACH:-10}
[ -n "${QUICK:-}" ] && [ -z "${SECONDS_EACH:-}" ] && seconds=2
cmake --preset bench -B "$build" -DSONAFLUX_BUILD_TESTS=OFF -DSONAFLUX_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" --target bench_vorbis peer_sdlmixer_vorbis >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$build/bench/vorbis/bench_vorbis" --streams "$streams" --seconds "$seconds" | tee "$out/sfx.txt"
SDL_AUDIODRIVER=dummy "$build/bench/vorbis/peer_sdlmixer_vorbis" --seconds "$seconds" \
  | tee "$out/sdl.txt"
echo
echo "Ogg Vorbis, 44.1 kHz stereo; CPU in microseconds per stream-second (lower is better)"
cat "$out/sfx.txt" "$out/sdl.txt" | awk '
  /^RESULT/ {
    delete f
    for (i = 2; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] }
    if (f["ok"] != 1) bad = 1
    if (f["impl"] == "sdlmixer-vorbis") { sdl = f["us_per_stream_s"]; next }
    row[++n] = sprintf("%-4s | %12s | %12s | %12s | %10s | %8s", f["streams"], f["vorbis_us_per_stream_s"],
      f["pcm_us_per_stream_s"], f["decode_us_per_stream_s"], f["load_ms_vorbis"] "/" f["load_ms_pcm"], f["underruns"])
  }
  END {
    printf "%-4s | %12s | %12s | %12s | %10s | %8s\n", "N", "Vorbis", "PCM", "decode", "Load ms", "underruns"
    for (i = 1; i <= n; ++i) print row[i]
    if (sdl != "") printf "SDL2_mixer, the same Ogg, 1 stream (real time): %s us per stream-second\n", sdl
    if (bad) { print "A run failed its checks (ok=0)."; exit 1 }
  }'
