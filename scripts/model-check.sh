#!/usr/bin/env bash
# Runs random host sequences against the reference model (tests/model) for a given time on
# fresh seeds, and prints what the run covered. A divergence stops its job and prints the
# seed and the shrunk sequence as a test to paste into tests/model/test_model.cpp.
#
#   scripts/model-check.sh --minutes N [--preset release|asan] [--jobs J] [--seed S]
#
# --jobs runs J processes side by side on disjoint seeds (the module is one per process);
# the workers wait on the clock far more than they compute, so two jobs cover about twice
# the sequences on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=10
preset=release
jobs=2
seed=""
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes=$2; shift 2 ;;
    --preset) preset=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    *) echo "usage: $0 --minutes N [--preset release|asan] [--jobs J] [--seed S]" >&2; exit 2 ;;
  esac
done
case "$preset" in release | asan) ;; *) echo "--preset: release or asan" >&2; exit 2 ;; esac

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target test_model
binary=build/$preset/tests/test_model
[ -n "$seed" ] || seed=$(($(date +%s) % 1000000 * 1000))

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
pids=()
for ((j = 0; j < jobs; j++)); do
  SONAFLUX_MODEL_MINUTES=$minutes SONAFLUX_MODEL_SEED=$((seed + j * 100000000)) \
    "$binary" --gtest_filter=ModelCheck.LongRun >"$logs/$j.log" 2>&1 &
  pids+=($!)
done
status=0
for ((j = 0; j < jobs; j++)); do
  wait "${pids[$j]}" || status=1
  grep -E '^model check:|Failure|diverges|TEST\(|ExpectModelAgrees|\{Op::|^    \}\);|^\}$|^// Seed' \
    "$logs/$j.log" || true
done
# One line over the jobs.
cat "$logs"/*.log | awk '/^model check:/ {
    for (i = 1; i <= NF; ++i) {
      if ($(i + 1) == "sequences,") s += $i
      if ($(i + 1) == "host" && $(i + 2) == "operations,") o += $i
      if ($(i + 1) == "queries") q += $i
      if ($(i + 1) == "output") f += $i
    }
  }
  END { printf "model check, all jobs: %d sequences, %d host operations and %d queries checked, %d output frames\n", s, o, q, f }'
if [ "$status" -ne 0 ]; then echo "model check: DIVERGENCE (see above)"; exit 1; fi
echo "model check: no divergence in $minutes minutes"
