#!/usr/bin/env bash
# Builds the benchmarks and the two peers, runs them all in one go and prints the results
# next to the goals they are held to.
#
#   bench/run.sh                  10 s per stream count (about 2.5 minutes in all)
#   QUICK=1 bench/run.sh          2 s per stream count
#   LONG_PLAY=600 bench/run.sh    adds a 10-minute real-time play (8 streams, SDL's dummy
#                                 output pulling) for the resident set after the first minute
#
# Environment: BUILD_DIR (default build/bench), SECONDS_EACH (overrides the run length),
# STREAMS (default 1,8,32,64), CHART (where the SVG chart of CPU per stream-second goes;
# default $BUILD_DIR/cpu-per-stream-second.svg). Installs libsdl2-mixer-dev and
# libopenal-dev when missing; the render cases make their music with sox.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/bench}
streams=${STREAMS:-1,8,32,64}
if [ -n "${SECONDS_EACH:-}" ]; then seconds=$SECONDS_EACH
elif [ -n "${QUICK:-}" ]; then seconds=2
else seconds=10; fi

. bench/needs.sh
bench_install_missing libsdl2-mixer-dev libopenal-dev libbenchmark-dev

echo "== building in $build"
cmake --preset bench -B "$build" -DSONAFLUX_BUILD_TESTS=OFF -DSONAFLUX_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j2 --target bench_micro bench_streams bench_switch peer_openal \
  peer_sdlmixer sonaflux-play
chart=${CHART:-$build/cpu-per-stream-second.svg}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

echo "== load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== micro-benchmarks"
"$build/bench/bench_micro" --benchmark_min_time=0.5 --benchmark_out="$out/micro.json" \
  --benchmark_out_format=json
# The CPU pass plays as a Linux host does: SDL's audio callback (dummy output) pulls the
# mix in blocks of 1024 frames, the block size of both peers (OpenAL Soft's null output
# mixes 1024 frames per update; SDL2_mixer is opened with chunks of 1024).
echo "== streams: CPU pass (SDL dummy output pulling 1024 frames = 23 ms, no records), ${seconds}s each"
SDL_AUDIODRIVER=dummy "$build/bench/bench_streams" --streams "$streams" --seconds "$seconds" \
  --period 1024 --sink sdl --fade-ms 500 | tee "$out/cpu.txt"
echo "== streams: lateness pass (clock period 44 frames = 1 ms, call log kept), ${seconds}s each"
"$build/bench/bench_streams" --streams "$streams" --seconds "$seconds" --period 44 --lateness \
  | tee "$out/late.txt"
echo "== OpenAL Soft, null output"
ALSOFT_DRIVERS=null "$build/bench/peers/peer_openal" --streams "$streams" --seconds "$seconds" \
  | tee "$out/openal.txt"
echo "== SDL2_mixer, dummy output (one music stream)"
SDL_AUDIODRIVER=dummy "$build/bench/peers/peer_sdlmixer" --seconds "$seconds" \
  | tee "$out/sdl.txt"
# Renders through softds's manual clock (sonaflux-play --render), timed on the wall clock:
# a loop of 16 frames (a whole file: a ring of 16 segments of the shortest, 10 ms), a loop
# of one frame inside a file, a one-frame file with NOTIFY_MAX=1 (one 10 ms segment), and
# a 60 s fade over 10 s of a 12 s file.
echo "== renders (sonaflux-play --render)"
play=$(cd "$build/tools" && pwd)/sonaflux-play
mkdir -p "$out/render" "$out/render/one"
sox -n -r 44100 -b 16 -c 2 "$out/render/x.wav" synth 12 sine 440 sine 660
sox "$out/render/x.wav" "$out/render/f16.wav" trim 0 16s
sox "$out/render/x.wav" "$out/render/one/f1.wav" trim 0 1s
printf 'NOTIFY_MAX=1\n' > "$out/render/one/Sonaflux.ini"
: > "$out/render.txt"
render() {  # name, folder, rendered seconds, arguments...
  local name=$1 dir=$2 secs=$3 t0 t1; shift 3
  t0=$(date +%s.%N)
  (cd "$dir" && "$play" --quiet --render out.wav "$@" >/dev/null)
  t1=$(date +%s.%N)
  awk -v n="$name" -v s="$secs" -v a="$t0" -v b="$t1" 'BEGIN {
    printf "RESULT impl=render case=%s seconds=%s wall=%.3f speed=%.1f\n", n, s, b - a, s / (b - a) }' \
    | tee -a "$out/render.txt"
}
render loop16 "$out/render" 60 --loops 0 --seconds 60 f16.wav
render loop1 "$out/render" 600 --loops 0 --loop-start 100 --loop-end 101 --seconds 600 x.wav
render file1-notify1 "$out/render/one" 10 --loops 0 --seconds 10 f1.wav
render fade60s "$out/render" 10 --fade-out 60000 --seconds 10 x.wav
# Switches on the real-time clock (no sink): the latency of "now" over SWITCH_TRIES tries
# (default 100, about 45 s), and the CPU of 8 streams crossfading all the time (500 ms
# crossfades) beside the same 8 streams cutting every 500 ms and playing plainly.
echo "== switches (bench_switch, real-time clock, no sink)"
"$build/bench/bench_switch" --tries "${SWITCH_TRIES:-100}" --streams 8 --seconds "$seconds" \
  --crossfade-ms 500 | tee "$out/switch.txt"
: > "$out/long.txt"
if [ -n "${LONG_PLAY:-}" ]; then
  echo "== long play: 8 streams for ${LONG_PLAY}s through SDL's dummy output"
  SDL_AUDIODRIVER=dummy "$build/bench/bench_streams" --streams 8 --seconds "$LONG_PLAY" \
    --period 441 --sink sdl | sed 's/impl=sonaflux /impl=sonaflux-long /' | tee "$out/long.txt"
fi

ns() {  # real time per iteration in ns of one micro-benchmark
  jq -r --arg n "$1" '.benchmarks[] | select(.name == $n) |
    .real_time * (if .time_unit == "us" then 1000 elif .time_unit == "ms" then 1000000 else 1 end)' \
    "$out/micro.json"
}
cpu_ns() {  # CPU time per iteration in ns (single-threaded benchmarks on a shared machine)
  jq -r --arg n "$1" '.benchmarks[] | select(.name == $n) |
    .cpu_time * (if .time_unit == "us" then 1000 elif .time_unit == "ms" then 1000000 else 1 end)' \
    "$out/micro.json"
}
mbs() {
  jq -r --arg n "$1" '.benchmarks[] | select(.name == $n) | .bytes_per_second / 1048576' \
    "$out/micro.json"
}
gets=$(ns BM_WaveGets); copy=$(ns BM_MemcpySameBytes/262144); cold=$(ns BM_MemcpySameBytes/16777216)
echo
echo "Micro-benchmarks (real time per call; the softds mixer: CPU time)"
wake=$(awk -v t="$(cpu_ns BM_WakeCycle/process_time/real_time)" 'BEGIN { printf "%.2f", t / 2 / 1000 }')
awk -v g="$gets" -v c="$copy" -v m="$cold" -v s="$(mbs BM_ReadModuleSettings_1MiB)" \
    -v d="$(ns BM_LinearToHundredthsDb)" -v p="$(cpu_ns BM_SoftdsMix/8)" -v w="$wake" \
    -v up="$(cpu_ns BM_SoftdsMixResampled/8/22050)" -v down="$(cpu_ns BM_SoftdsMixResampled/8/48000)" 'BEGIN {
  printf "  CWaveFileStream::Gets 32768 B, cached file  %10.0f ns  (%.0f MiB/s)\n", g, 32768e9/g/1048576
  printf "  memcpy 32768 B from a 256 KiB block        %10.0f ns  (%.0f MiB/s)\n", c, 32768e9/c/1048576
  printf "  memcpy 32768 B from a 16 MiB image         %10.0f ns  (%.0f MiB/s)\n", m, 32768e9/m/1048576
  printf "  ratio Gets / memcpy from the block         %10.2f\n", g / c
  printf "  ratio Gets / memcpy from the image         %10.2f\n", g / m
  printf "  ReadModuleSettings, 1 MiB file             %10.1f MiB/s\n", s
  printf "  LinearToHundredthsDb                       %10.1f ns\n", d
  printf "  softds mixer, 8 streams at 44100 Hz        %10.1f us per stream-second (plain copy)\n", p / 1000 / (8 * 0.01)
  printf "  softds mixer, 8 streams at 22050 Hz        %10.1f us per stream-second (resampled; the resampler %.1f)\n", up / 1000 / (8 * 0.01), (up - p) / 1000 / (8 * 0.01)
  printf "  softds mixer, 8 streams at 48000 Hz        %10.1f us per stream-second (resampled; the resampler %.1f)\n", down / 1000 / (8 * 0.01), (down - p) / 1000 / (8 * 0.01)
  printf "  one thread wake-up cycle (the floor)       %10.2f us of CPU (event set on one thread, waited for on another)\n", w
}'
# softds's clock and mixer alone, per stream count: us per stream-second.
: > "$out/mixer.txt"
for n in ${streams//,/ }; do
  t=$(cpu_ns "BM_SoftdsMix/$n")
  [ -n "$t" ] && echo "RESULT impl=mixer streams=$n us=$(awk -v t="$t" -v n="$n" 'BEGIN { printf "%.1f", t / 1000 / (n * 0.01) }')" >> "$out/mixer.txt"
done

echo
echo "Streaming, ${seconds}s per run; CPU in microseconds per stream-second (lower is better)."
cat "$out/cpu.txt" "$out/late.txt" "$out/openal.txt" "$out/sdl.txt" "$out/mixer.txt" "$out/long.txt" \
    "$out/render.txt" "$out/switch.txt" | awk -v wake="$wake" -v chart="$chart" '
  function verdict(ok) { if (!ok) missed++; return ok ? "met" : "MISSED" }
  function goal(name, want, got, ok) { printf "  %-52s %-10s %-12s %s\n", name, want, got, verdict(ok) }
  /^RESULT/ {
    delete f
    for (i = 2; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] }
    s = f["streams"]
    if (f["impl"] == "mixer") { mix[s] = f["us"]; next }
    if (f["impl"] == "render") { rname[++nr] = f["case"]; rsecs[nr] = f["seconds"]; rwall[nr] = f["wall"]; rspeed[nr] = f["speed"]; next }
    if (f["impl"] == "sonaflux-switch") {
      swmed = f["now_median_ms"]; swp99 = f["now_p99_ms"]; swmax = f["now_max_ms"]; swtries = f["tries"]
      swplain = f["plain_us_per_stream_s"]; swcut = f["cuts_us_per_stream_s"]; swxf = f["crossfade_us_per_stream_s"]; swn = f["streams"]
      swms = f["crossfade_ms"]; if (f["ok"] != 1) bad = 1
      next
    }
    if (f["impl"] == "sonaflux-long") { longrss = f["rss_kib"]; longgrowth = f["rss_growth_kib"]; longok = f["ok"]; longur = f["underruns"]; longs = f["seconds"]; next }
    key = f["impl"] "/" s
    if (f["impl"] == "sonaflux" && f["lateness"] == 1) {
      late[s] = sprintf("%s/%s/%s", f["lat_median_ms"], f["lat_p99_ms"], f["lat_max_ms"])
      latep99[s] = f["lat_p99_ms"]; lateur[s] = f["underruns"]; lateok[s] = f["ok"]
      next
    }
    proc[key] = f["process_us_per_stream_s"]; ok[key] = f["ok"]; ur[key] = f["underruns"]
    if (f["impl"] == "sonaflux") {
      eng[key] = f["module_us_per_stream_s"]; dev[key] = f["device_us_per_stream_s"]
      rss[s] = f["rss_kib"]; growth[s] = f["rss_growth_kib"]
      if (f["fade_ms"] > 0) { fadems = f["fade_ms"]; fadecpu = f["fade_cpu_us"] }
      if (!(s in seen)) { seen[s] = 1; order[++n] = s }
    }
    if (f["impl"] == "openal") { eng[key] = f["host_us_per_stream_s"]; olate[s] = sprintf("%s/%s/%s", f["lat_median_ms"], f["lat_p99_ms"], f["lat_max_ms"]) }
    if (f["impl"] == "sdlmixer") eng[key] = f["audio_us_per_stream_s"]
  }
  function ly(v) { return top + h - (log(v) / log(10) - lo) / (hi - lo) * h }
  function lx(v) { return left + log(v) / log(2) / 6 * w }
  function series(name, color, key,   i, s, pts) {
    pts = ""
    for (i = 1; i <= n; ++i) { s = order[i]; if ((key "/" s) in proc) pts = pts sprintf("%.1f,%.1f ", lx(s), ly(proc[key "/" s])) }
    if (pts == "") return
    printf "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"2\" points=\"%s\"/>\n", color, pts > chart
    for (i = 1; i <= n; ++i) { s = order[i]; if ((key "/" s) in proc)
      printf "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4\" fill=\"%s\"/>\n", lx(s), ly(proc[key "/" s]), color > chart }
    printf "<text x=\"%d\" y=\"%d\" fill=\"%s\">%s</text>\n", left + w + 12, legend, color, name > chart
    legend += 20
  }
  # CPU per stream-second against N (log-log), and the floor: one wake-up per refill.
  function chartsvg(   v, d, i, s, fl) {
    left = 80; top = 30; w = 420; h = 300; legend = top + 20
    fl = wake * 44100 * 4 / 32768
    lo = 9; hi = -9
    for (v in proc) { d = log(proc[v]) / log(10); if (d < lo) lo = d; if (d > hi) hi = d }
    d = log(fl) / log(10); if (d < lo) lo = d; if (d > hi) hi = d
    lo = int(lo); if (lo < 0) lo = 0; hi = int(hi) + 1
    printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"660\" height=\"390\" font-family=\"sans-serif\" font-size=\"13\">\n" > chart
    printf "<rect width=\"660\" height=\"390\" fill=\"white\"/>\n" > chart
    for (d = lo; d <= hi; ++d) {
      printf "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#ddd\"/>\n", left, ly(10 ^ d), left + w, ly(10 ^ d) > chart
      printf "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%d</text>\n", left - 6, ly(10 ^ d) + 4, 10 ^ d > chart
    }
    for (i = 1; i <= n; ++i) {
      s = order[i]
      printf "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#ddd\"/>\n", lx(s), top, lx(s), top + h > chart
      printf "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%s</text>\n", lx(s), top + h + 18, s > chart
    }
    printf "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">streams (N)</text>\n", left + w / 2, top + h + 38 > chart
    printf "<text x=\"16\" y=\"%d\" transform=\"rotate(-90 16 %d)\" text-anchor=\"middle\">process CPU, us per stream-second</text>\n", top + h / 2, top + h / 2 > chart
    printf "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#888\" stroke-dasharray=\"6 4\"/>\n", left, ly(fl), left + w, ly(fl) > chart
    printf "<text x=\"%d\" y=\"%.1f\" fill=\"#666\">wake-up floor</text>\n", left + w + 12, ly(fl) + 4 > chart
    series("Sonaflux", "#1f77b4", "sonaflux")
    series("OpenAL Soft", "#d62728", "openal")
    series("SDL2_mixer", "#2ca02c", "sdlmixer")
    printf "</svg>\n" > chart
    close(chart)
  }
  END {
    if (chart != "" && n > 0) chartsvg()
    printf "\n%-4s | %-24s | %-12s | %-22s | %-8s | %-7s | %-16s | %-16s | %-11s | %s\n", "N",
      "Sonaflux proc", "softds mixer", "OpenAL proc", "SDL2_mix", "RSS MiB", "SFX late ms", "OAL late ms", "underruns", "peak RSS growth"
    printf "%-4s | %-24s | %-12s | %-22s | %-8s | %-7s | %-16s | %-16s | %-11s | %s\n", "",
      "(module refill + clock)", "alone", "(host refill + mixer)", "proc", "end", "med/p99/max", "med/p99/max", "SFX/late/OAL", "KiB after 1/5"
    for (i = 1; i <= n; ++i) {
      s = order[i]; a = "sonaflux/" s; b = "openal/" s; c = "sdlmixer/" s
      printf "%-4s | %-24s | %-12s | %-22s | %-8s | %-7.1f | %-16s | %-16s | %-11s | %s\n", s,
        sprintf("%.0f (%.0f + %.0f)", proc[a], eng[a], dev[a]), (s in mix) ? mix[s] : "-",
        (b in proc) ? sprintf("%.0f (%.0f + %.0f)", proc[b], eng[b], proc[b] - eng[b]) : "-",
        (c in proc) ? sprintf("%.0f", proc[c]) : "-", rss[s] / 1024,
        (s in late) ? late[s] : "-", (s in olate) ? olate[s] : "-",
        sprintf("%s/%s/%s", ur[a], (s in lateur) ? lateur[s] : "-", (b in ur) ? ur[b] : "-"), growth[s]
      if (ok[a] != 1 || ((s in lateok) && lateok[s] != 1) || ((b in ok) && ok[b] != 1)) bad = 1
    }
    printf "\nGoals and results (this run)\n"
    printf "  %-52s %-10s %-12s %s\n", "target", "goal", "result", ""
    for (i = 1; i <= n; ++i) {
      s = order[i]; a = "sonaflux/" s; b = "openal/" s
      if (!(b in proc)) continue
      want = (s == 64) ? 0.7 : 0.5
      goal(sprintf("process CPU, Sonaflux / OpenAL Soft, N = %s", s), sprintf("<= %.2f", want),
           sprintf("%.2f", proc[a] / proc[b]), proc[a] / proc[b] <= want)
    }
    if (("sdlmixer/1" in proc) && ("sonaflux/1" in proc))
      goal("process CPU, Sonaflux / SDL2_mixer, N = 1", "<= 0.70",
           sprintf("%.2f", proc["sonaflux/1"] / proc["sdlmixer/1"]), proc["sonaflux/1"] / proc["sdlmixer/1"] <= 0.7)
    # The module refills a 32768-byte segment per notification: 5.38 a second of 44.1 kHz
    # stereo. Its refill side per refill, in wake-up cycles (the floor of a worker per stream).
    refills = 44100 * 4 / 32768
    for (i = 1; i <= n; ++i) {
      s = order[i]; a = "sonaflux/" s
      goal(sprintf("refill side per refill, N = %s (us; wake-up floors)", s), "<= 1.30",
           sprintf("%.1f; %.2f", eng[a] / refills, eng[a] / refills / wake), eng[a] / refills / wake <= 1.3)
    }
    for (i = 1; i <= nr; ++i)
      goal(sprintf("render speed, %s (%s s in %s s)", rname[i], rsecs[i], rwall[i]), ">= 20x",
           sprintf("%.1fx", rspeed[i]), rspeed[i] >= 20)
    for (i = 1; i <= n; ++i) {
      s = order[i]; a = "sonaflux/" s
      goal(sprintf("underruns, both passes, N = %s", s), "0", sprintf("%s + %s", ur[a], lateur[s]),
           ur[a] == 0 && lateur[s] == 0)
    }
    for (i = 1; i <= n; ++i) {
      s = order[i]
      if (s in latep99) goal(sprintf("refill lateness p99 (ms), lateness pass, N = %s", s), "<= 1.00",
                             latep99[s], latep99[s] <= 1.0)
    }
    if (swtries != "") {
      goal(sprintf("\"now\" switch heard, p99 of %s tries (ms; median %s, max %s)", swtries, swmed, swmax),
           "<= 100", swp99, swp99 <= 100)
      printf "  %-52s %-10s %-12s\n", sprintf("CPU, %s streams crossfading (%s ms), us/stream-s", swn, swms), "-",
             sprintf("%s", swxf)
      printf "  %-52s %-10s %-12s\n", sprintf("CPU, the same switching now without crossfades"), "-",
             sprintf("%s", swcut)
      printf "  %-52s %-10s %-12s\n", sprintf("CPU, the same %s streams plain (no sink), us/stream-s", swn), "-",
             sprintf("%s", swplain)
    }
    if (fadems > 0) goal(sprintf("CPU of a %d ms fade (ms)", fadems), "< 5", sprintf("%.2f", fadecpu / 1000), fadecpu < 5000)
    if (longs != "") {
      goal(sprintf("resident set growth after the first minute, %.0f s play (KiB)", longs), "< 1024",
           longgrowth, longgrowth < 1024)
      if (longok != 1 || longur != 0) bad = 1
    } else {
      maxg = 0; for (i = 1; i <= n; ++i) if (growth[order[i]] > maxg) maxg = growth[order[i]]
      goal("resident set growth after a fifth of each run (KiB)", "< 1024", maxg, maxg < 1024)
      printf "  (the 10-minute play: LONG_PLAY=600 bench/run.sh)\n"
    }
    if ("sdlmixer/1" in proc) printf "\nSDL2_mixer, 1 stream: %.0f us per stream-second (audio thread %.0f)\n", proc["sdlmixer/1"], eng["sdlmixer/1"]
    printf "Wake-up floor: %.2f us of CPU per cycle, %.1f us per stream-second at one wake per refill\n", wake, wake * 44100 * 4 / 32768
    if (chart != "" && n > 0) printf "Chart: %s\n", chart
    if (missed) printf "%d goal(s) missed in this run.\n", missed
    if (bad) { print "\nA run failed its checks (see its RESULT line: ok=0)."; exit 1 }
  }'

# ---- decode cost per codec (a script of its own) ----
echo
echo "== decode cost per codec (Vorbis, Opus, FLAC, FLAC in Ogg)"
SECONDS_EACH=$seconds bench/codec-run.sh
