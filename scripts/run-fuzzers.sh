#!/usr/bin/env bash
# Runs every libFuzzer target in BUILD_DIR for SECONDS each, from its seed corpus
# (fuzz/corpus/<target>/), and prints the executions each one made.
set -euo pipefail
build_dir=${1:-build-fuzz}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for target in "$build_dir"/*_fuzz; do
  [[ -x "$target" ]] || continue
  name=$(basename "$target")
  seeds="$root/fuzz/corpus/${name%_fuzz}"
  work=$(mktemp -d)
  [[ -d "$seeds" ]] && cp -r "$seeds"/. "$work"/ 2>/dev/null || true
  export CVIE_ROOT=$(mktemp -d)
  echo "== $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 "$work" \
       >"$work.log" 2>&1; then
    status=1
    tail -50 "$work.log"
  fi
  grep -E '^stat::number_of_executed_units' "$work.log" || true
  rm -rf "$work" "$work.log" "$CVIE_ROOT"
done
exit $status
