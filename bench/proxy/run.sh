#!/bin/sh
# Throughput of cvie proxy next to a direct run and Privoxy, with wrk, on
# loopback only: a local origin (python3 http.server on a free port) serves
# 15 KB, 120 KB and 1 MB ad pages; each is fetched direct, through cvie proxy
# and through Privoxy (if installed; its own config in a temp dir, default
# actions and filters). Prints requests/s, p99 latency and the proxy's CPU
# seconds per MB of HTML served.
#   bench/proxy/run.sh [path/to/cvie] [seconds per run]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
cvie=${1:-$here/../../build/cvie}
secs=${2:-10}
command -v wrk >/dev/null || { echo "wrk is not installed"; exit 1; }
tmp=$(mktemp -d)
pids=""
cleanup() { for p in $pids; do kill "$p" 2>/dev/null || true; done; rm -rf "$tmp"; }
trap cleanup EXIT INT TERM

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
cpu_ticks() { awk '{print $14+$15}' "/proc/$1/stat"; }

mkdir -p "$tmp/www"
for size in 15000 120000 1000000; do python3 "$here/make_page.py" $size "$tmp/www/page$size.html"; done

origin_port=$(free_port)
python3 -m http.server "$origin_port" --bind 127.0.0.1 --directory "$tmp/www" >/dev/null 2>&1 &
pids="$pids $!"

cvie_port=$(free_port)
CVIE_ROOT="$tmp/root" CVIE_UPDATE_SERVER=http://127.0.0.1:9 "$cvie" proxy \
  --listen "127.0.0.1:$cvie_port" --no-update-check >/dev/null 2>&1 &
cvie_pid=$!
pids="$pids $cvie_pid"

privoxy_pid=""
if command -v privoxy >/dev/null || [ -x /usr/sbin/privoxy ]; then
  privoxy_port=$(free_port)
  mkdir -p "$tmp/privoxy"
  cat > "$tmp/privoxy/config" <<CONF
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
  /usr/sbin/privoxy --no-daemon "$tmp/privoxy/config" >/dev/null 2>&1 &
  privoxy_pid=$!
  pids="$pids $privoxy_pid"
fi
sleep 2

# One wrk run: prints "req/s p99" for URL (through proxy PROXY_PORT, or direct).
lua="$tmp/proxy.lua"
cat > "$lua" <<'LUA'
-- Sends each request in absolute form, as a browser does to a proxy.
local target = os.getenv("WRK_TARGET")
request = function() return wrk.format("GET", target, {["Accept"]="text/html"}) end
LUA
run() {  # name url proxy_port pid size
  if [ -n "$3" ]; then
    out=$(WRK_TARGET="$2" wrk -t2 -c8 -d"${secs}s" --latency -s "$lua" "http://127.0.0.1:$3" 2>&1)
  else
    out=$(wrk -t2 -c8 -d"${secs}s" --latency "$2" 2>&1)
  fi
  rps=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
  p99=$(echo "$out" | awk '$1=="99%" {print $2}')
  reqs=$(echo "$out" | awk '/requests in/ {print $1}')
  echo "$rps $p99 $reqs"
}
printf "%-8s %-8s %12s %10s %14s\n" page via "requests/s" p99 "cpu s/MB"
for size in 15000 120000 1000000; do
  url="http://127.0.0.1:$origin_port/page$size.html"
  for via in direct cvie privoxy; do
    case $via in
      direct) port=""; pid="" ;;
      cvie) port=$cvie_port; pid=$cvie_pid ;;
      privoxy) [ -n "$privoxy_pid" ] || continue; port=$privoxy_port; pid=$privoxy_pid ;;
    esac
    before=0; [ -n "$pid" ] && before=$(cpu_ticks "$pid")
    set -- $(run "$via" "$url" "$port")
    cpu="-"
    if [ -n "$pid" ]; then
      after=$(cpu_ticks "$pid")
      cpu=$(python3 -c "t=($after-$before)/$(getconf CLK_TCK); mb=$3*$size/1e6; print('%.4f' % (t/mb if mb else 0))")
    fi
    printf "%-8s %-8s %12s %10s %14s\n" "$size" "$via" "$1" "$2" "$cpu"
  done
done
