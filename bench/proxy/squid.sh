#!/bin/sh
# Throughput of the Squid adapter next to Squid alone, cvie proxy and a
# direct fetch, with wrk, on loopback only. nginx (its own config in a temp
# dir, a free port) serves 15 KB and 120 KB ad pages and the pages of the
# shared corpus (read in place); each is fetched direct, through cvie proxy,
# through a private Squid without the adapter and one with libcvie_ecap.so
# (no cache, as the tests run it). Prints requests/s, p99 latency and the
# CPU seconds per MB of HTML of the process in the middle (Squid's one
# worker, or cvie proxy), and the adapter's cost against Squid alone.
#   bench/proxy/squid.sh [build dir] [seconds per run] [connections]
# Defaults: build, 10 s, 64 connections. Needs squid, nginx and wrk. Not a test.
# SQUID_BENCH_SETS (default "15k 120k corpus") and SQUID_BENCH_VIAS (default
# "direct cvie squid squid+cvie") choose the rows; SQUID_BENCH_ADAPTER runs
# another build of the adapter and SQUID_BENCH_ECAP_PARAMS adds parameters to
# its ecap_service line (e.g. filter_threads=0 to edit on Squid's thread).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
secs=${2:-10}
conns=${3:-64}
cvie=$build/cvie
adapter=${SQUID_BENCH_ADAPTER:-$build/libcvie_ecap.so}
pages=${CVIE_SHARED_DIR:-$here/../../../shared}/corpus/pages
squid=$(command -v squid || echo /usr/sbin/squid)
nginx=$(command -v nginx || echo /usr/sbin/nginx)
for tool in wrk "$squid" "$nginx" "$cvie" "$adapter"; do
  command -v "$tool" >/dev/null 2>&1 || [ -e "$tool" ] || { echo "missing: $tool"; exit 1; }
done
tmp=$(mktemp -d)
chmod 755 "$tmp"
pids=""
cleanup() { for p in $pids; do kill "$p" 2>/dev/null || true; done; sleep 1; rm -rf "$tmp"; }
trap cleanup EXIT INT TERM

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
cpu_ticks() { awk '{print $14+$15}' "/proc/$1/stat"; }
wait_port() {
  for _ in $(seq 50); do
    python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),0.2)" 2>/dev/null && return 0
    sleep 0.2
  done
  echo "nothing listens on port $1"; return 1
}

# The origin: nginx over a folder with the two made pages and the corpus.
mkdir -p "$tmp/www/corpus" "$tmp/nginx"
python3 "$here/make_page.py" 15000 "$tmp/www/page15k.html"
python3 "$here/make_page.py" 120000 "$tmp/www/page120k.html"
corpus=0
if [ -d "$pages" ] && ls "$pages"/*.html >/dev/null 2>&1; then
  cp "$pages"/*.html "$tmp/www/corpus/"  # nginx's worker may not read the shared folder
  corpus=1
fi
chmod -R a+rX "$tmp/www"
origin_port=$(free_port)
cat > "$tmp/nginx/nginx.conf" <<CONF
worker_processes 1;
error_log $tmp/nginx/error.log;
pid $tmp/nginx/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  types { text/html html; }
  default_type text/html;
  client_body_temp_path $tmp/nginx;
  proxy_temp_path $tmp/nginx;
  fastcgi_temp_path $tmp/nginx;
  uwsgi_temp_path $tmp/nginx;
  scgi_temp_path $tmp/nginx;
  server { listen 127.0.0.1:$origin_port; root $tmp/www; }
}
CONF
"$nginx" -p "$tmp/nginx" -c "$tmp/nginx/nginx.conf" -g 'daemon off;' 2>"$tmp/nginx/stderr" &
pids="$pids $!"

# cvie proxy, and the data root the adapter shares with it.
root="$tmp/root"
CVIE_ROOT="$root" "$cvie" rules install >/dev/null
cvie_port=$(free_port)
CVIE_ROOT="$root" CVIE_UPDATE_SERVER=http://127.0.0.1:9 "$cvie" proxy \
  --listen "127.0.0.1:$cvie_port" --no-update-check >/dev/null 2>&1 &
cvie_pid=$!
pids="$pids $cvie_pid"

# Two private Squids: without and with the adapter.
user_line=""
if [ "$(id -u)" = 0 ]; then
  user_line="cache_effective_user proxy"
  chmod -R a+rwX "$root"
fi
start_squid() {  # name port extra-lines
  mkdir -p "$tmp/$1"
  chmod 777 "$tmp/$1"
  cat > "$tmp/$1/squid.conf" <<CONF
http_port 127.0.0.1:$2
pid_filename $tmp/$1/squid.pid
access_log none
cache_log $tmp/$1/cache.log
cache_store_log none
cache deny all
$user_line
http_access allow localhost
http_access deny all
shutdown_lifetime 0 seconds
$3
CONF
  "$squid" -N -f "$tmp/$1/squid.conf" >/dev/null 2>&1 &
  echo $!
}
squid_port=$(free_port)
squid_pid=$(start_squid squid "$squid_port" "")
pids="$pids $squid_pid"
ecap_port=$(free_port)
ecap_pid=$(start_squid squid-ecap "$ecap_port" "ecap_enable on
loadable_modules $adapter
ecap_service cvie respmod_precache uri=ecap://corvane.example/filter root=$root ${SQUID_BENCH_ECAP_PARAMS:-}
adaptation_access cvie allow all")
pids="$pids $ecap_pid"
for port in $origin_port $cvie_port $squid_port $ecap_port; do wait_port "$port"; done

# wrk sends absolute-form requests (as a browser does to a proxy), one URL
# or a random page of a list.
ls "$tmp/www/corpus" | grep '\.html$' | sed "s|^|http://127.0.0.1:$origin_port/corpus/|" >"$tmp/corpus.txt" || true
cat > "$tmp/mix.lua" <<'LUA'
local urls = {}
for line in io.lines(os.getenv("WRK_URLS")) do urls[#urls + 1] = line end
local n = 0
request = function()
  n = n + 1
  return wrk.format("GET", urls[(n % #urls) + 1], {["Accept"] = "text/html"})
end
LUA
run() {  # list-file proxy-port ("" for direct)
  if [ -n "$2" ]; then
    WRK_URLS="$1" wrk -t2 -c"$conns" -d"${secs}s" --latency -s "$tmp/mix.lua" "http://127.0.0.1:$2" 2>&1
  else
    WRK_URLS="$1" wrk -t2 -c"$conns" -d"${secs}s" --latency -s "$tmp/mix.lua" "$(head -1 "$1")" 2>&1
  fi
}

# The check that the adapter filters: a page through it differs from direct.
direct=$(curl -s "http://127.0.0.1:$origin_port/page15k.html" | md5sum)
adapted=$(curl -s -x "http://127.0.0.1:$ecap_port" "http://127.0.0.1:$origin_port/page15k.html" | md5sum)
[ "$direct" != "$adapted" ] || echo "WARNING: the page through the adapter is unchanged"

echo "wrk -t2 -c$conns -d${secs}s; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-8s %-12s %12s %10s %10s\n" pages via "requests/s" p99 "cpu s/MB"
for set in ${SQUID_BENCH_SETS:-15k 120k corpus}; do
  case $set in
    corpus) [ "$corpus" = 1 ] || continue; list="$tmp/corpus.txt" ;;
    *) list="$tmp/$set.txt"; echo "http://127.0.0.1:$origin_port/page$set.html" >"$list" ;;
  esac
  # Bytes of one round over the list, for the MB figure.
  bytes=0
  while read -r url; do
    bytes=$((bytes + $(stat -c %s "$tmp/www/${url#http://127.0.0.1:$origin_port/}")))
  done <"$list"
  per_page=$((bytes / $(wc -l <"$list")))
  squid_rps=""
  for via in ${SQUID_BENCH_VIAS:-direct cvie squid squid+cvie}; do
    case $via in
      direct) port=""; pid="" ;;
      cvie) port=$cvie_port; pid=$cvie_pid ;;
      squid) port=$squid_port; pid=$(cat "$tmp/squid/squid.pid" 2>/dev/null || echo $squid_pid) ;;
      squid+cvie) port=$ecap_port; pid=$(cat "$tmp/squid-ecap/squid.pid" 2>/dev/null || echo $ecap_pid) ;;
    esac
    run "$list" "$port" >/dev/null  # warm-up
    before=0; [ -n "$pid" ] && before=$(cpu_ticks "$pid")
    out=$(run "$list" "$port")
    rps=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
    p99=$(echo "$out" | awk '$1=="99%" {print $2}')
    reqs=$(echo "$out" | awk '/requests in/ {print $1}')
    cpu="-"
    if [ -n "$pid" ]; then
      after=$(cpu_ticks "$pid")
      cpu=$(python3 -c "t=($after-$before)/$(getconf CLK_TCK); mb=$reqs*$per_page/1e6; print('%.4f' % (t/mb if mb else 0))")
    fi
    printf "%-8s %-12s %12s %10s %10s\n" "$set" "$via" "$rps" "$p99" "$cpu"
    [ "$via" = squid ] && squid_rps=$rps
    if [ "$via" = squid+cvie ] && [ -n "$squid_rps" ]; then
      python3 -c "print('%-8s %-12s %11.1f%%' % ('$set', 'adapter cost', 100 * (1 - $rps / $squid_rps)))"
    fi
  done
done
