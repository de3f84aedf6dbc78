#!/usr/bin/env bash
# Runs the Windows module's tests under Wine, in a private Wine prefix.
#   run-under-wine.sh prefix-create <state-dir>
#   run-under-wine.sh prefix-remove <state-dir>
#   run-under-wine.sh run <state-dir> <program.exe> [args...]
#   run-under-wine.sh run-display <state-dir> <program.exe> [args...]
# run-display gives the program a display of its own (xvfb-run, a free
# display number). Exits 77 (CTest: skipped) when wine, the cross-built
# program or, for run-display, xvfb-run is absent.
# The prefix lives in a temporary folder named in <state-dir>/prefix; the first
# start of Wine in a fresh prefix is slow, so the tests share one prefix.
set -uo pipefail

action=$1
state=$2
shift 2

if ! command -v wine >/dev/null 2>&1; then
  echo "wine is not installed: skipped"
  exit 77
fi

export WINEDEBUG=-all
# No Mono or Gecko installers: the module uses neither.
export WINEDLLOVERRIDES="mscoree,mshtml="

case "$action" in
  prefix-create)
    mkdir -p "$state"
    prefix=$(mktemp -d "${TMPDIR:-/tmp}/cvie-wine-XXXXXX")
    echo "$prefix" >"$state/prefix"
    WINEPREFIX="$prefix" wineboot -i >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w
    test -f "$prefix/system.reg" || { echo "wineboot made no prefix"; exit 1; }
    ;;
  prefix-remove)
    if [[ -f "$state/prefix" ]]; then
      prefix=$(cat "$state/prefix")
      WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
      [[ "$prefix" == */cvie-wine-* ]] && rm -rf "$prefix"
      rm -f "$state/prefix"
    fi
    ;;
  run | run-display)
    program=$1
    shift
    if [[ ! -f "$program" ]]; then
      echo "$program is not built (make windows): skipped"
      exit 77
    fi
    if [[ ! -f "$state/prefix" ]]; then
      echo "no Wine prefix (the prefix fixture did not run)"
      exit 1
    fi
    export WINEPREFIX=$(cat "$state/prefix")
    if [[ "$action" == run-display ]]; then
      if ! command -v xvfb-run >/dev/null 2>&1; then
        echo "xvfb-run is not installed: skipped"
        exit 77
      fi
      xvfb-run -a wine "$program" "$@"
    else
      wine "$program" "$@"
    fi
    ;;
  *)
    echo "unknown action $action" >&2
    exit 2
    ;;
esac
