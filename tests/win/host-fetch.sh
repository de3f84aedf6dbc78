#!/usr/bin/env bash
# host-fetch.sh <state-dir> <cvie> <build-win> <rules.txt> <page.html> [<large.html>]
# Registers cvie.dll in the private Wine prefix, installs the rule file and a
# whitelist, serves pages from a loopback origin on a free port, and runs
# cvie_host.exe (as "iexplore.exe", the browser's process) to fetch them
# through Wine's urlmon:
#  1. With the module's namespace handler in the session: the start sequence
#     loads the rules and urlmon calls the handler for the page. The handler
#     declines, as it must; Windows then reads the page with its own http
#     protocol, Wine's urlmon ends the binding with
#     INET_E_USE_DEFAULT_PROTOCOLHANDLER instead (that gap is shown on its own
#     in WineUrlmonGap.*). When the page is read it must equal `cvie filter`.
#  2. With --no-namespace (the host withdraws the handler and starts one
#     itself, as Windows' urlmon does before falling back): Wine's http
#     protocol reads the pages and the module's registered text/html MIME
#     filter edits them. The page with adverts equals `cvie filter` of it with
#     the same rules; the same page at a whitelisted address and a body that
#     is not HTML come back unchanged. A large page of the shared corpus, read
#     in many pieces, equals `cvie filter` of it too (when it is there).
#  3. The log: every line of log1.txt has the Linux logger's prefix
#     ("T<thread> mm/dd/yy-hh:mm:ss L<level> "), and a log1.txt of more than
#     2,000,000 bytes became log2.txt when the first host process started.
# Exits 77 (skipped) when wine or the Windows build is absent.
set -uo pipefail
state=$1 cvie=$2 winbuild=$3 rules=$4 page=$5 large=${6:-}

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
user="$work/win/Documents/Corvane"
mkdir -p "$work/win/share/Corvane" "$user" "$work/www"
cp "$work/cvie.rle" "$work/win/share/Corvane/cvie.rle"
cp "$page" "$work/www/page.html"
cp "$page" "$work/www/white.html"
[[ -n "$large" && -f "$large" ]] && cp "$large" "$work/www/large.html"
# Not HTML: bytes a page editor would not leave alone if it took them for a page.
{ printf '\x89PNG\r\n\x1a\n\0\0'; cat "$page"; printf '\0\xff'; } >"$work/www/data.bin"
# A current log just over the switch size, and an older generation.
head -c 2000001 /dev/zero | tr '\0' o >"$user/log1.txt"
echo "older generation" >"$user/log2.txt"

(cd "$work/www" && exec python3 -u -m http.server 0 --bind 127.0.0.1) >"$work/server.log" 2>&1 &
server=$!
for _ in $(seq 50); do
  port=$(sed -n 's/.*port \([0-9]*\).*/\1/p' "$work/server.log" | head -n1)
  [[ -n "$port" ]] && break
  sleep 0.1
done
[[ -n "${port:-}" ]] || { echo "the loopback origin did not start"; exit 1; }
origin="http://127.0.0.1:$port"
printf '%s\r\n' "$origin/white.html" >"$user/whitelist.txt"

wine_run wine regsvr32 /s "$(win "$winbuild/cvie.dll")" || { echo "regsvr32 failed"; exit 1; }
cp "$winbuild/cvie_host.exe" "$work/iexplore.exe"
today=$(date +%m/%d/%y)
# host <name> [--no-namespace] <url>: output in $work/<name>.out, stderr in
# $work/<name>.err, exit code in $rc.
host() {
  local name=$1
  shift
  CVIE_ROOT="$(win "$work/win")" wine_run wine "$(win "$work/iexplore.exe")" fetch "$@" \
    >"$work/$name.out" 2>"$work/$name.err"
  rc=$?
}
failed=0
fail() { echo "$*"; failed=1; }
log="$user/log1.txt"
expected="$work/expected.html"
CVIE_ROOT="$work/linux" "$cvie" filter --rule-text "$rules" "$page" >"$expected" ||
  fail "cvie filter failed"
cmp -s "$expected" "$page" && fail "cvie filter leaves the page as it is: it shows nothing here"

# 1. Through the module's namespace handler.
host namespace "$origin/page.html"
grep -q "good rules loaded" "$log" 2>/dev/null || fail "the start sequence did not load the rules"
grep -qF "IIPR::Start - url=$origin/page.html" "$log" 2>/dev/null ||
  fail "urlmon did not call the module's namespace handler for $origin/page.html"
if [[ $rc -eq 0 ]]; then
  cmp -s "$expected" "$work/namespace.out" &&
    echo "the page read through the namespace handler equals cvie filter's" ||
    fail "the page read through urlmon differs from cvie filter's"
elif grep -q "the binding failed: 0x800C0011" "$work/namespace.err"; then
  echo "Wine's urlmon ends the binding with INET_E_USE_DEFAULT_PROTOCOLHANDLER" \
    "instead of falling back to its http protocol: the page is not read this way"
else
  fail "cvie_host failed (exit $rc): $(cat "$work/namespace.err")"
fi

# 2. Through Wine's http protocol and the module's MIME filter.
check() {  # check <name> <url> <expected file> <what>
  host "$1" --no-namespace "$2"
  if [[ $rc -ne 0 ]]; then
    fail "cvie_host --no-namespace $2 failed (exit $rc): $(cat "$work/$1.err")"
  elif ! cmp -s "$3" "$work/$1.out"; then
    fail "$4: not so ($(wc -c <"$work/$1.out") bytes read, $(wc -c <"$3") expected)"
  else
    echo "$4"
  fi
}
check filtered "$origin/page.html" "$expected" "the page through the MIME filter equals cvie filter's"
grep -qF "IIPR::Start - the url of the page is: $origin/page.html" "$log" ||
  fail "the MIME filter was not started for $origin/page.html"
check whitelisted "$origin/white.html" "$page" "the whitelisted page comes back unchanged"
grep -qF "IIPR::Start - the url of the page is: $origin/white.html" "$log" ||
  fail "the MIME filter was not started for the whitelisted page: unchanged shows nothing"
check binary "$origin/data.bin" "$work/www/data.bin" "the body that is not HTML comes back unchanged"
if [[ -f "$work/www/large.html" ]]; then
  CVIE_ROOT="$work/linux" "$cvie" filter --rule-text "$rules" "$large" >"$work/large.expected" ||
    fail "cvie filter failed on $large"
  check large "$origin/large.html" "$work/large.expected" \
    "the large page ($(wc -c <"$large") bytes) through the MIME filter equals cvie filter's"
fi
wine_run wine regsvr32 /u /s "$(win "$winbuild/cvie.dll")"

# 3. The log.
[[ $(wc -c <"$user/log2.txt") -eq 2000001 ]] ||
  fail "log1.txt of 2,000,001 bytes did not become log2.txt at the first start"
prefix='^T[0-9]+ ([0-9]{2}/[0-9]{2}/[0-9]{2})-[0-2][0-9]:[0-5][0-9]:[0-5][0-9] L[0-9]+ '
lines=$(grep -c . "$log")
[[ $lines -gt 0 ]] || fail "log1.txt has no lines"
bad=$(grep . "$log" | grep -Ev "$prefix" | head -n 3)
[[ -z "$bad" ]] || fail "lines without the logger's prefix: $bad"
dates=$(sed -nE "s#${prefix}.*#\1#p" "$log" | sort -u)
for d in $dates; do
  [[ "$d" == "$today" || "$d" == "$(date +%m/%d/%y)" ]] || fail "a log line dated $d"
done
grep -Eq "^T[0-9]+ [0-9/]{8}-[0-9:]{8} L30 Version 2\.2 compiled on " "$log" ||
  fail "no version line at level 30"
[[ $failed -eq 0 ]] && echo "log: $lines lines with the prefix; the old log1.txt is log2.txt"

[[ $failed -eq 0 ]] || { echo "--- log"; tail -n 20 "$log" 2>/dev/null; }
exit $failed
