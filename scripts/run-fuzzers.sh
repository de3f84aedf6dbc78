#!/usr/bin/env bash
# Runs every libFuzzer target of BUILD_DIR (its fuzz/ folder, where CMake puts
# them) for SECONDS each, from a copy of its seed corpus (fuzz/corpus/<name>/),
# and prints the executions each one made. Further arguments name the targets to
# run ("rule_line"), default all. A target that fails has its log tail printed
# and its crashing input kept in BUILD_DIR/fuzz-artifacts/<name>/; the script
# then exits 1 after running the rest.
#
#   scripts/run-fuzzers.sh build-fuzz 120 rule_line rule_file
set -euo pipefail
build_dir=${1:-build-fuzz}
seconds=${2:-60}
shift $(( $# >= 2 ? 2 : $# ))
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
found=0
for target in "$build_dir"/fuzz/*_fuzz "$build_dir"/*_fuzz; do
  [[ -x "$target" && -f "$target" ]] || continue
  name=$(basename "$target")
  name=${name%_fuzz}
  if (( $# > 0 )); then
    wanted=0
    for want in "$@"; do [[ "$want" == "$name" ]] && wanted=1; done
    (( wanted )) || continue
  fi
  found=$((found + 1))
  seeds="$root/fuzz/corpus/$name"
  work=$(mktemp -d)
  [[ -d "$seeds" ]] && cp -r "$seeds"/. "$work"/ 2>/dev/null || true
  artifacts="$build_dir/fuzz-artifacts/$name"
  mkdir -p "$artifacts"
  export CVIE_ROOT=$(mktemp -d)
  echo "== ${name}_fuzz for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=25 \
       -artifact_prefix="$artifacts/" "$work" >"$work.log" 2>&1; then
    status=1
    tail -50 "$work.log"
    echo "   failing input kept in $artifacts/"
  fi
  grep -E '^stat::number_of_executed_units' "$work.log" || true
  rm -rf "$work" "$work.log" "$CVIE_ROOT"
done
if (( found == 0 )); then
  echo "no fuzz targets found in $build_dir" >&2
  exit 1
fi
exit $status
