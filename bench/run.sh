#!/usr/bin/env bash
# Builds the benchmarks and the two peers, runs them all in one go and prints one table.
#
#   bench/run.sh            10 s per stream count (about 2.5 minutes in all)
#   QUICK=1 bench/run.sh    2 s per stream count
#
# Environment: BUILD_DIR (default build/bench), SECONDS_EACH (overrides the run length),
# STREAMS (default 1,8,32,64). Installs libsdl2-mixer-dev and libopenal-dev when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/bench}
streams=${STREAMS:-1,8,32,64}
if [ -n "${SECONDS_EACH:-}" ]; then seconds=$SECONDS_EACH
elif [ -n "${QUICK:-}" ]; then seconds=2
else seconds=10; fi

missing=()
for pkg in libsdl2-mixer-dev libopenal-dev libbenchmark-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  (apt-get install -y --no-install-recommends "${missing[@]}" ||
   { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }) >/dev/null
fi

echo "== building in $build"
cmake --preset bench -B "$build" -DSONAFLUX_BUILD_TESTS=OFF -DSONAFLUX_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --target bench_micro bench_streams peer_openal peer_sdlmixer
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

echo "== micro-benchmarks"
"$build/bench/bench_micro" --benchmark_min_time=0.5 --benchmark_out="$out/micro.json" \
  --benchmark_out_format=json
echo "== streams: CPU pass (softds clock period 441 frames = 10 ms), ${seconds}s each"
"$build/bench/bench_streams" --streams "$streams" --seconds "$seconds" --period 441 \
  | tee "$out/cpu.txt"
echo "== streams: lateness pass (clock period 44 frames = 1 ms), ${seconds}s each"
"$build/bench/bench_streams" --streams "$streams" --seconds "$seconds" --period 44 \
  | tee "$out/late.txt"
echo "== OpenAL Soft, null output"
ALSOFT_DRIVERS=null "$build/bench/peers/peer_openal" --streams "$streams" --seconds "$seconds" \
  | tee "$out/openal.txt"
echo "== SDL2_mixer, dummy output (one music stream)"
SDL_AUDIODRIVER=dummy "$build/bench/peers/peer_sdlmixer" --seconds "$seconds" \
  | tee "$out/sdl.txt"

ns() {  # real time per iteration in ns of one micro-benchmark
  jq -r --arg n "$1" '.benchmarks[] | select(.name == $n) |
    .real_time * (if .time_unit == "us" then 1000 elif .time_unit == "ms" then 1000000 else 1 end)' \
    "$out/micro.json"
}
mbs() {
  jq -r --arg n "$1" '.benchmarks[] | select(.name == $n) | .bytes_per_second / 1048576' \
    "$out/micro.json"
}
gets=$(ns BM_WaveGets); copy=$(ns BM_MemcpySameBytes/262144); cold=$(ns BM_MemcpySameBytes/16777216)
echo
echo "Micro-benchmarks (real time per call)"
awk -v g="$gets" -v c="$copy" -v m="$cold" -v s="$(mbs BM_ReadModuleSettings_1MiB)" \
    -v d="$(ns BM_LinearToHundredthsDb)" 'BEGIN {
  printf "  CWaveFileStream::Gets 32768 B, cached file  %10.0f ns  (%.0f MiB/s)\n", g, 32768e9/g/1048576
  printf "  memcpy 32768 B from a 256 KiB block        %10.0f ns  (%.0f MiB/s)\n", c, 32768e9/c/1048576
  printf "  memcpy 32768 B from a 16 MiB image         %10.0f ns  (%.0f MiB/s)\n", m, 32768e9/m/1048576
  printf "  ratio Gets / memcpy from the block         %10.2f\n", g / c
  printf "  ratio Gets / memcpy from the image         %10.2f\n", g / m
  printf "  ReadModuleSettings, 1 MiB file             %10.1f MiB/s\n", s
  printf "  LinearToHundredthsDb                       %10.1f ns\n", d
}'

echo
echo "Streaming, ${seconds}s per run; CPU in microseconds per stream-second (lower is better);"
echo "ratios are peer / Sonaflux (above 1: the peer spends more)."
cat "$out/cpu.txt" "$out/late.txt" "$out/openal.txt" "$out/sdl.txt" | awk -v latefile=0 '
  /^RESULT/ {
    delete f
    for (i = 2; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] }
    key = f["impl"] "/" f["streams"]
    if (f["impl"] == "sonaflux" && f["tick_ms"] + 0 < 5) {
      late[f["streams"]] = sprintf("%s/%s/%s", f["lat_median_ms"], f["lat_p99_ms"], f["lat_max_ms"])
      lateur[f["streams"]] = f["underruns"]; lateok[f["streams"]] = f["ok"]
    } else {
      proc[key] = f["process_us_per_stream_s"]; ok[key] = f["ok"]; ur[key] = f["underruns"]
      if (f["impl"] == "sonaflux") { eng[key] = f["module_us_per_stream_s"]; dev[key] = f["device_us_per_stream_s"] }
      if (f["impl"] == "openal") { eng[key] = f["host_us_per_stream_s"]; olate[f["streams"]] = sprintf("%s/%s/%s", f["lat_median_ms"], f["lat_p99_ms"], f["lat_max_ms"]) }
      if (f["impl"] == "sdlmixer") eng[key] = f["audio_us_per_stream_s"]
      if (!(f["streams"] in seen)) { seen[f["streams"]] = 1; order[++n] = f["streams"] }
    }
  }
  END {
    printf "\n%-4s | %-26s | %-26s | %-9s | %-9s | %-9s | %-16s | %-16s | %s\n", "N",
      "Sonaflux proc (module+dev)", "OpenAL proc (host+mixer)", "OAL/SFX", "OAL/SFX", "SDLmix", "SFX late ms", "OAL late ms", "underruns"
    printf "%-4s | %-26s | %-26s | %-9s | %-9s | %-9s | %-16s | %-16s | %s\n", "",
      "", "", "process", "refill", "/SFX proc", "med/p99/max", "med/p99/max", "SFX/SFX-late/OAL"
    for (i = 1; i <= n; ++i) {
      s = order[i]; a = "sonaflux/" s; b = "openal/" s; c = "sdlmixer/" s
      sfx = sprintf("%.0f (%.0f+%.0f)", proc[a], eng[a], dev[a])
      oal = (b in proc) ? sprintf("%.0f (%.0f+%.0f)", proc[b], eng[b], proc[b] - eng[b]) : "-"
      r1 = (b in proc && proc[a] > 0) ? sprintf("%.2f", proc[b] / proc[a]) : "-"
      r2 = (b in proc && eng[a] > 0) ? sprintf("%.2f", eng[b] / eng[a]) : "-"
      r3 = (c in proc && proc[a] > 0) ? sprintf("%.2f", proc[c] / proc[a]) : "-"
      printf "%-4s | %-26s | %-26s | %-9s | %-9s | %-9s | %-16s | %-16s | %s/%s/%s\n", s, sfx, oal, r1, r2, r3,
        (s in late) ? late[s] : "-", (s in olate) ? olate[s] : "-", ur[a], (s in lateur) ? lateur[s] : "-", (b in ur) ? ur[b] : "-"
      if (ok[a] != 1 || ((s in lateok) && lateok[s] != 1) || ((b in ok) && ok[b] != 1)) bad = 1
    }
    if ("sdlmixer/1" in proc) printf "\nSDL2_mixer, 1 stream: %.0f us per stream-second (audio thread %.0f)\n", proc["sdlmixer/1"], eng["sdlmixer/1"]
    if (bad) { print "\nA run failed its checks (see its RESULT line: ok=0)."; exit 1 }
  }'

# ---- Ogg Vorbis decode cost (a script of its own) ----
echo
echo "== Ogg Vorbis decode"
SECONDS_EACH=$seconds bench/vorbis-run.sh
