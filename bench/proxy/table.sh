#!/bin/sh
# Throughput of cvie proxy side by side with a direct run and Privoxy, in one
# run, on loopback only. nginx serves the pages (a slower origin would hide
# the proxy's own cost): 15 KB, 120 KB and 1 MB ad pages written here, and
# the shared corpus pages read in place. Each page case is fetched with
# wrk -t2 -c16 direct, through cvie with the bundled rule file, through cvie
# with the shared 52k-rule list (enciphered and installed in its own
# CVIE_ROOT) and through Privoxy with its default actions and filters
# (checked to be active first: its banners-by-size filter must change the
# ad page). Rounds of 3; prints the median requests/s of each, the ratios
# within a round (medians), and the limit the proxy could reach on this
# machine: each request costs the direct run's time per request (the
# transport at nginx's cost) plus the page's bytes at the editor's speed per
# core, spread over the cores. The editor's speed comes from editor_bench
# (HTML work without rule checks) when it is built.
#   bench/proxy/table.sh [path/to/cvie] [seconds per run] [rounds]
# Needs nginx, wrk and curl; Privoxy is optional (make bench-deps installs
# them). Not a test.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
cvie=${1:-$here/../../build/cvie}
secs=${2:-10}
rounds=${3:-3}
conns=${CVIE_BENCH_CONNS:-16}
shared=${CVIE_SHARED_DIR:-$here/../../../shared}
pages=$shared/corpus/pages
big_rules=$shared/rules/big_rules.txt
editor_bench=${CVIE_EDITOR_BENCH:-$(dirname "$cvie")/bench/editor_bench}
nginx=$(command -v nginx || echo /usr/sbin/nginx)
privoxy=$(command -v privoxy || echo /usr/sbin/privoxy)
command -v wrk >/dev/null || { echo "wrk is not installed"; exit 1; }
command -v curl >/dev/null || { echo "curl is not installed"; exit 1; }
[ -x "$nginx" ] || { echo "nginx is not installed"; exit 1; }
[ -x "$cvie" ] || { echo "no cvie program at $cvie"; exit 1; }
tmp=$(mktemp -d)
chmod 755 "$tmp"
pids=""
cleanup() { for p in $pids; do kill "$p" 2>/dev/null || true; done; rm -rf "$tmp"; }
trap cleanup EXIT INT TERM

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{v[NR]=$1} END {if (NR==0) print "-"; else if (NR%2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'; }

# The origin.
mkdir -p "$tmp/www" "$tmp/nginx"
for size in 15000 120000 1000000; do python3 "$here/make_page.py" $size "$tmp/www/page$size.html"; done
have_corpus=0
if [ -d "$pages" ] && ls "$pages"/*.html >/dev/null 2>&1; then have_corpus=1; fi
origin_port=$(free_port)
user_line=""
[ "$(id -u)" = 0 ] && user_line="user $(id -un) $(id -gn);"
cat >"$tmp/nginx/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon off;
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/error.log warn;
events { worker_connections 1024; }
http {
  types { text/html html; }
  default_type text/html;
  access_log off;
  sendfile on;
  keepalive_requests 1000000;
  client_body_temp_path $tmp/nginx/body;
  proxy_temp_path $tmp/nginx/proxy;
  fastcgi_temp_path $tmp/nginx/fastcgi;
  uwsgi_temp_path $tmp/nginx/uwsgi;
  scgi_temp_path $tmp/nginx/scgi;
  server {
    listen 127.0.0.1:$origin_port;
    location / { root $tmp/www; }
    location /corpus/ { alias $pages/; }
  }
}
CONF
"$nginx" -p "$tmp/nginx" -c "$tmp/nginx/nginx.conf" 2>>"$tmp/nginx/error.log" &
pids="$pids $!"

# cvie with the bundled rule file, and cvie with the 52k-rule list.
start_cvie() {  # root -> prints port
  port=$(free_port)
  CVIE_ROOT="$1" CVIE_UPDATE_SERVER=http://127.0.0.1:9 "$cvie" proxy \
    --listen "127.0.0.1:$port" --no-update-check >"$1.out" 2>"$1.err" &
  echo "$port $!"
}
wait_listening() {  # root
  for _ in $(seq 1 60); do
    grep -q listening "$1.out" 2>/dev/null && return 0
    sleep 0.5
  done
  echo "cvie proxy did not start:"; cat "$1.err"; exit 1
}
started=$(start_cvie "$tmp/bundled")
bundled_port=${started% *}
pids="$pids ${started#* }"
wait_listening "$tmp/bundled"
big_port=""
if [ -f "$big_rules" ]; then
  mkdir -p "$tmp/big"
  CVIE_ROOT="$tmp/big" "$cvie" rules encipher "$big_rules" "$tmp/big.rle" --version 9.9 >/dev/null
  CVIE_ROOT="$tmp/big" "$cvie" rules install "$tmp/big.rle" >/dev/null
  started=$(start_cvie "$tmp/big")
  big_port=${started% *}
  pids="$pids ${started#* }"
  wait_listening "$tmp/big"
fi

# Privoxy with its own config in the temp folder, default actions and filters.
privoxy_port=""
if [ -x "$privoxy" ]; then
  privoxy_port=$(free_port)
  mkdir -p "$tmp/privoxy"
  cat >"$tmp/privoxy/config" <<CONF
confdir /etc/privoxy
logdir $tmp/privoxy
actionsfile match-all.action
actionsfile default.action
actionsfile user.action
filterfile default.filter
filterfile user.filter
listen-address 127.0.0.1:$privoxy_port
toggle 1
enable-remote-toggle 0
enable-edit-actions 0
buffer-limit 4096
keep-alive-timeout 5
CONF
  "$privoxy" --no-daemon "$tmp/privoxy/config" >/dev/null 2>&1 &
  pids="$pids $!"
fi
sleep 1

base="http://127.0.0.1:$origin_port"
direct_page=$(curl -sf "$base/page15000.html") || { echo "nginx does not serve the pages:"; cat "$tmp/nginx/error.log"; exit 1; }
check_filters() {  # name port
  got=$(curl -sf -x "127.0.0.1:$2" "$base/page15000.html") || { echo "$1 does not answer"; exit 1; }
  [ "$got" != "$direct_page" ] || { echo "$1 does not filter the ad page"; exit 1; }
}
check_filters "cvie (bundled rules)" "$bundled_port"
[ -z "$big_port" ] || check_filters "cvie (52k rules)" "$big_port"
if [ -n "$privoxy_port" ]; then
  got=$(curl -sf -x "127.0.0.1:$privoxy_port" "$base/page15000.html" || true)
  # banners-by-size replaces 468x60 images by Privoxy's own banner address.
  if [ -z "$got" ] || [ "$got" = "$direct_page" ] || ! echo "$got" | grep -q 'privoxy'; then
    echo "Privoxy answers but does not filter with its default filters: left out"
    privoxy_port=""
  fi
fi

# The editor's HTML speed per core (no rule checks), for the limit.
edit_mbs=""
if [ -x "$editor_bench" ] && [ "$have_corpus" = 1 ]; then
  edit_mbs=$(CVIE_ROOT="$tmp/eb" "$editor_bench" --passes 0 --index-passes 0 --html-passes 3 "$shared" 2>/dev/null |
    awk '/no rule checks/ {for (i = 1; i < NF; i++) if ($(i+1) == "MB/s" && $(i+2) == "processor") print $i}')
fi
cores=$(nproc)

lua="$tmp/proxy.lua"
cat >"$lua" <<'LUA'
-- Sends each request in absolute form, as a browser does to a proxy; with
-- a list of addresses, goes through it in turn, each thread from its own
-- place in it.
local target = os.getenv("WRK_TARGET")
local list = os.getenv("WRK_URLS")
local urls = {}
if list and list ~= "" then for line in io.lines(list) do urls[#urls + 1] = line end end
next_url = 1
local counter = 0
function setup(thread) counter = counter + 1; thread:set("next_url", counter * 29) end
request = function()
  if #urls == 0 then return wrk.format("GET", target, {["Accept"] = "text/html"}) end
  next_url = next_url % #urls + 1
  return wrk.format("GET", urls[next_url], {["Accept"] = "text/html"})
end
LUA
if [ "$have_corpus" = 1 ]; then
  ls "$pages" | grep '\.html$' | sed "s|^|$base/corpus/|" >"$tmp/urls.txt"
  corpus_bytes=$(cat "$pages"/*.html | wc -c)
  corpus_count=$(wc -l <"$tmp/urls.txt")
fi

run() {  # case proxy_port -> requests/s
  case $1 in
    corpus) target="$base/"; urls="$tmp/urls.txt" ;;
    *) target="$base/page$1.html"; urls="" ;;
  esac
  # Direct: the same requests to nginx itself (it takes the absolute form).
  out=$(WRK_TARGET="$target" WRK_URLS="$urls" wrk -t2 -c"$conns" -d"${secs}s" -s "$lua" \
    "http://127.0.0.1:${2:-$origin_port}" 2>&1)
  bad=$(echo "$out" | awk '/Non-2xx/ {print $NF}')
  [ -z "$bad" ] || echo "  ($bad non-2xx answers for $1 through port ${2:-direct})" >&2
  echo "$out" | awk '/Requests\/sec/ {print $2}'
}

cases="15000 120000 1000000"
[ "$have_corpus" = 1 ] && cases="$cases corpus"
vias="direct bundled"
[ -n "$big_port" ] && vias="$vias big"
[ -n "$privoxy_port" ] && vias="$vias privoxy"
echo "origin nginx $("$nginx" -v 2>&1 | sed 's/.*\///'), $cores cores, wrk -t2 -c$conns ${secs}s, $rounds rounds; load $(cut -d' ' -f1-3 /proc/loadavg)"
[ -z "$edit_mbs" ] || echo "editor without rule checks: $edit_mbs MB/s per core (editor_bench, processor time)"
for r in $(seq 1 "$rounds"); do
  for c in $cases; do
    for v in $vias; do
      case $v in
        direct) port="" ;; bundled) port=$bundled_port ;; big) port=$big_port ;; privoxy) port=$privoxy_port ;;
      esac
      rps=$(run "$c" "$port")
      echo "$rps" >>"$tmp/r.$c.$v"
    done
  done
  echo "round $r done" >&2
done

label() { case $1 in corpus) echo "$corpus_count corpus pages" ;; 15000) echo "15 KB" ;; 120000) echo "120 KB" ;; 1000000) echo "1 MB" ;; esac; }
bytes_of() { case $1 in corpus) python3 -c "print($corpus_bytes/$corpus_count)" ;; *) wc -c <"$tmp/www/page$1.html" ;; esac; }
ratio_med() {  # case num den: median over rounds of num/den within a round
  [ -f "$tmp/r.$1.$2" ] && [ -f "$tmp/r.$1.$3" ] || { echo "-"; return; }
  paste "$tmp/r.$1.$2" "$tmp/r.$1.$3" | awk '$2 > 0 {printf "%.3f ", $1/$2}' | median
}
echo
echo "| page | direct | cvie (bundled rules) | cvie (52k-rule list) | Privoxy | bundled / Privoxy | bundled / limit | 52k / limit | limit |"
echo "|---|---|---|---|---|---|---|---|---|"
for c in $cases; do
  row="| $(label $c) |"
  for v in direct bundled big privoxy; do
    if [ -f "$tmp/r.$c.$v" ]; then row="$row $(median <"$tmp/r.$c.$v" | awk '{printf "%.0f", $1}') |"; else row="$row - |"; fi
  done
  row="$row $(ratio_med $c bundled privoxy) |"
  limit="-"
  if [ -n "$edit_mbs" ]; then
    b=$(bytes_of $c)
    # Per-round limit from that round's direct figure; the proxy's ratios
    # to it are medians of the rounds.
    awk -v b="$b" -v e="$edit_mbs" -v n="$cores" '$1 > 0 {printf "%.1f\n", 1 / (1 / $1 + b / (e * 1e6 * n))}' \
      "$tmp/r.$c.direct" >"$tmp/r.$c.limit"
    limit=$(median <"$tmp/r.$c.limit" | awk '{printf "%.0f", $1}')
  fi
  row="$row $(ratio_med $c bundled limit) | $(ratio_med $c big limit) | $limit |"
  echo "$row"
done
echo
echo "goals: corpus bundled/Privoxy >= 10 and bundled/limit >= 0.60; 1 MB bundled/limit >= 0.50; 15 KB bundled/limit >= 0.30"
