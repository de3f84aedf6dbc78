#!/usr/bin/env bash
# host-fetch.sh <state-dir> <cvie> <build-win> <rules.txt> <page.html>
# Registers cvie.dll in the private Wine prefix, installs the rule file, serves
# <page.html> from a loopback origin on a free port, and runs cvie_host.exe
# (as "iexplore.exe", the browser's process) to fetch it through urlmon. The
# module's start sequence must have run in that process (rules loaded, our
# namespace handler called by urlmon for the page). When the page is read, it
# must equal `cvie filter` of the same page with the same rules. Exits 77
# (skipped) when wine or the Windows build is absent.
set -uo pipefail
state=$1 cvie=$2 winbuild=$3 rules=$4 page=$5

for f in "$winbuild/cvie.dll" "$winbuild/cvie_host.exe"; do
  [[ -f "$f" ]] || { echo "$f is not built (make windows): skipped"; exit 77; }
done
command -v wine >/dev/null 2>&1 || { echo "wine is not installed: skipped"; exit 77; }
# Registration keeps to the Wine prefix's own folders (removal deletes the
# shared data folder); each command below names the root it uses.
unset CVIE_ROOT

work=$(mktemp -d "${TMPDIR:-/tmp}/cvie-winhost-XXXXXX")
server=""
cleanup() {
  [[ -n "$server" ]] && kill "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
win() { echo "Z:$(realpath -m "$1" | tr / '\\')"; }
wine_run() { env WINEPREFIX="$(cat "$state/prefix")" WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=" "$@"; }

# The rule file as `cvie rules install` makes it, in the module's shared folder.
CVIE_ROOT="$work/linux" "$cvie" rules encipher --version 1.0 "$rules" "$work/cvie.rle" >/dev/null ||
  { echo "cvie rules encipher failed"; exit 1; }
mkdir -p "$work/win/share/Corvane" "$work/www"
cp "$work/cvie.rle" "$work/win/share/Corvane/cvie.rle"
cp "$page" "$work/www/page.html"

(cd "$work/www" && exec python3 -u -m http.server 0 --bind 127.0.0.1) >"$work/server.log" 2>&1 &
server=$!
for _ in $(seq 50); do
  port=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$work/server.log" | head -n1)
  [[ -n "$port" ]] && break
  sleep 0.1
done
[[ -n "${port:-}" ]] || { echo "the loopback origin did not start"; exit 1; }
url="http://127.0.0.1:$port/page.html"

wine_run wine regsvr32 /s "$(win "$winbuild/cvie.dll")" || { echo "regsvr32 failed"; exit 1; }
cp "$winbuild/cvie_host.exe" "$work/iexplore.exe"
CVIE_ROOT="$(win "$work/win")" wine_run wine "$(win "$work/iexplore.exe")" fetch "$url" \
  >"$work/out.html" 2>"$work/err"
rc=$?
wine_run wine regsvr32 /u /s "$(win "$winbuild/cvie.dll")"

failed=0
log="$work/win/Documents/Corvane/log1.txt"
if ! grep -q "good rules loaded" "$log" 2>/dev/null; then
  echo "the start sequence did not load the rules"; failed=1
fi
if ! grep -qF "IIPR::Start - url=$url" "$log" 2>/dev/null; then
  echo "urlmon did not call the module's namespace handler for $url"; failed=1
fi
if [[ $rc -eq 0 ]]; then
  CVIE_ROOT="$work/linux" "$cvie" filter --rule-text "$rules" "$page" >"$work/expected.html"
  if ! cmp -s "$work/expected.html" "$work/out.html"; then
    echo "the page read through urlmon differs from cvie filter's"; failed=1
  else
    echo "the page read through urlmon equals cvie filter's"
  fi
elif grep -q "URLOpenBlockingStreamW failed: 0x800C0011" "$work/err"; then
  # Windows binds with its own http protocol when a temporary namespace
  # handler answers INET_E_USE_DEFAULT_PROTOCOLHANDLER; this Wine does not.
  echo "Wine's urlmon ends the binding with INET_E_USE_DEFAULT_PROTOCOLHANDLER" \
    "instead of falling back to its http protocol: the page is not read here"
else
  echo "cvie_host failed (exit $rc): $(cat "$work/err")"; failed=1
fi
[[ $failed -eq 0 ]] || { echo "--- log"; tail -n 20 "$log" 2>/dev/null; }
exit $failed
