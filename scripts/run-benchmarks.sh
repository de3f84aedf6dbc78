#!/usr/bin/env bash
# Runs every benchmark program in BUILD_DIR/bench and prints its figures.
set -euo pipefail
build_dir=${1:-build}
export CVIE_ROOT=$(mktemp -d)
trap 'rm -rf "$CVIE_ROOT"' EXIT
for b in "$build_dir"/bench/*_bench; do
  [[ -x "$b" ]] || continue
  echo "== $(basename "$b")"
  "$b"
done
