#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time over its seed corpus
# (copied to a scratch folder, so the run leaves the repository unchanged). Fails on any
# finding. Usage: fuzz-smoke.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
status=0
for bin in build/fuzz/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin"); name=${name#fuzz_}
  work=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/"
  echo "== fuzz $name for ${seconds}s"
  if ! (cd "$work" && "$OLDPWD/$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$work" 2>&1 | tail -n 12); then
    status=1
  fi
  rm -rf "$work"
done
exit $status
