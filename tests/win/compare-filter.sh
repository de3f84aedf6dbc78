#!/usr/bin/env bash
# compare-filter.sh <state-dir> <cvie> <cvie_win_filter.exe> <rules.txt> <page>...
# Filters each page with the Linux program (`cvie filter --rule-text`) and with
# the Windows build under Wine, and fails when any output differs. Pages that
# do not exist (shared corpus absent) are left out; exits 77 (skipped) when
# wine or the Windows program is absent.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
state=$1 cvie=$2 winexe=$3 rules=$4
shift 4

work=$(mktemp -d "${TMPDIR:-/tmp}/cvie-wincmp-XXXXXX")
trap 'rm -rf "$work"' EXIT
export CVIE_ROOT="$work/linux-root"
mkdir -p "$CVIE_ROOT"

compared=0
failed=0
for page in "$@"; do
  [[ -f "$page" ]] || continue
  name=$(basename "$page")
  if ! "$cvie" filter --rule-text "$rules" "$page" >"$work/$name.linux" 2>"$work/err"; then
    echo "cvie filter failed on $page: $(cat "$work/err")"
    failed=1
    continue
  fi
  mkdir -p "$work/win-root"
  CVIE_ROOT="Z:$work/win-root" bash "$here/run-under-wine.sh" run "$state" "$winexe" "Z:$rules" \
    "Z:$page" >"$work/$name.win" 2>"$work/err"
  rc=$?
  if [[ $rc -eq 77 ]]; then
    cat "$work/err"
    exit 77
  fi
  if [[ $rc -ne 0 ]]; then
    echo "the Windows build failed on $page (exit $rc): $(cat "$work/err")"
    failed=1
    continue
  fi
  if ! cmp -s "$work/$name.linux" "$work/$name.win"; then
    echo "outputs differ for $page:"
    diff <(tr '>' '\n' <"$work/$name.linux") <(tr '>' '\n' <"$work/$name.win") | head -20
    failed=1
  fi
  compared=$((compared + 1))
done
echo "$compared pages compared"
[[ $compared -gt 0 && $failed -eq 0 ]]
