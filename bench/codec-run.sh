#!/usr/bin/env bash
# The decode benchmark, one codec after another: the module's CPU per stream-second for N
# looping streams of each codec beside the same music as PCM (softds manual clock, at the
# music's stored rate), the first fill at Load per codec and for WAVE, and SDL2_mixer
# playing the same file as the peer (one music stream, dummy output). Goal: the module at
# most 0.5 x SDL2_mixer at N = 1 for Opus and FLAC.
#
#   bench/codec-run.sh      10 s per stream count; SECONDS_EACH, BUILD_DIR as for bench/run.sh,
#                           CODEC_STREAMS (default 1,8,32), CODECS (default
#                           vorbis,opus,flac,oggflac)
# SDL2_mixer plays no FLAC in Ogg (it takes an Ogg for Vorbis or Opus), so that codec has
# no peer figure. Installs libsdl2-mixer-dev when missing (it decodes FLAC with libFLAC
# and Opus with libopusfile, as the module does).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/bench}
streams=${CODEC_STREAMS:-1,8,32}
codecs=${CODECS:-vorbis,opus,flac,oggflac}
seconds=${SECONDS_EACH:-10}
[ -n "${QUICK:-}" ] && [ -z "${SECONDS_EACH:-}" ] && seconds=2
. bench/needs.sh
bench_install_missing libsdl2-mixer-dev libbenchmark-dev
cmake --preset bench -B "$build" -DSONAFLUX_BUILD_TESTS=OFF -DSONAFLUX_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" --target bench_codec peer_sdlmixer_codec >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "== load average before the decode run: $(cut -d" " -f1-3 /proc/loadavg)"
: > "$out/all.txt"
for codec in ${codecs//,/ }; do
  "$build/bench/codecs/bench_codec" --codec "$codec" --streams "$streams" --seconds "$seconds" \
    | tee -a "$out/all.txt"
  [ "$codec" = oggflac ] && continue
  SDL_AUDIODRIVER=dummy "$build/bench/codecs/peer_sdlmixer_codec" --codec "$codec" \
    --seconds "$seconds" | tee -a "$out/all.txt"
done
echo
echo "Decode cost, stereo; CPU in microseconds per stream-second (lower is better)."
echo "Load ms: the first fill at Load per stream, the codec's file / the same music as WAVE."
awk '
  function verdict(ok) { if (!ok) missed++; return ok ? "met" : "MISSED" }
  /^RESULT/ {
    delete f
    for (i = 2; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] }
    if (f["ok"] != 1) bad = 1
    c = f["codec"]
    if (!(c in seen)) { seen[c] = 1; order[++nc] = c }
    if (f["impl"] == "sdlmixer-codec") { sdl[c] = f["us_per_stream_s"]; next }
    if (f["streams"] == 1) one[c] = f["codec_us_per_stream_s"]
    row[++n] = sprintf("%-8s | %5s | %-4s | %12s | %12s | %12s | %12s | %8s", c, f["rate"], f["streams"],
      f["codec_us_per_stream_s"], f["pcm_us_per_stream_s"], f["decode_us_per_stream_s"],
      f["load_ms_codec"] "/" f["load_ms_pcm"], f["underruns"])
  }
  END {
    printf "%-8s | %5s | %-4s | %12s | %12s | %12s | %12s | %8s\n", "codec", "Hz", "N", "codec file",
      "PCM", "decode", "Load ms", "underruns"
    for (i = 1; i <= n; ++i) print row[i]
    printf "\n  %-52s %-10s %-24s %s\n", "target", "goal", "result", ""
    for (i = 1; i <= nc; ++i) {
      c = order[i]
      if (!(c in sdl) || !(c in one)) continue
      r = one[c] / sdl[c]
      res = sprintf("%.2f (%.0f / %.0f)", r, one[c], sdl[c])
      if (c == "opus" || c == "flac")
        printf "  %-52s %-10s %-24s %s\n", "process CPU, Sonaflux / SDL2_mixer, " c ", N = 1", "<= 0.50", res, verdict(r <= 0.5)
      else
        printf "  %-52s %-10s %-24s\n", "process CPU, Sonaflux / SDL2_mixer, " c ", N = 1", "-", res
    }
    if (missed) printf "%d goal(s) missed in this run.\n", missed
    if (bad) { print "A run failed its checks (ok=0)."; exit 1 }
  }' "$out/all.txt"
