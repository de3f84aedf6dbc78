#!/bin/sh
# Sustained load through cvie proxy: a local origin (python3, on a free
# loopback port) serves the real pages of the shared corpus, read in place;
# wrk sends them through the proxy in random order from many connections
# while the proxy's resident memory and open descriptors are sampled every
# 5 seconds. Prints requests/s, latency p50/p99, non-2xx answers and socket
# errors, RSS after the warm-up and at the end, and the descriptor range.
#   bench/proxy/load.sh [path/to/cvie] [seconds] [connections] [wrk threads]
# Defaults: build/cvie, 60 s, 64 connections, 4 threads. Not a test.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
cvie=${1:-$here/../../build/cvie}
secs=${2:-60}
conns=${3:-64}
threads=${4:-4}
pages=${CVIE_SHARED_DIR:-$here/../../../shared}/corpus/pages
command -v wrk >/dev/null || { echo "wrk is not installed (scripts/install-deps.sh)"; exit 1; }
command -v python3 >/dev/null || { echo "python3 is needed for the origin"; exit 1; }
[ -x "$cvie" ] || { echo "no cvie program at $cvie"; exit 1; }
if [ ! -d "$pages" ] || ! ls "$pages"/*.html >/dev/null 2>&1; then
  echo "no corpus pages at $pages: skipped"
  exit 0
fi
tmp=$(mktemp -d)
pids=""
cleanup() { for p in $pids; do kill "$p" 2>/dev/null || true; done; rm -rf "$tmp"; }
trap cleanup EXIT INT TERM

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
fd_count() { ls "/proc/$1/fd" | wc -l; }

# The origin: every page held in memory once, served as text/html over
# HTTP/1.1 with keep-alive, one thread per connection.
cat > "$tmp/origin.py" <<'PY'
import http.server, os, socketserver, sys
folder, port = sys.argv[1], int(sys.argv[2])
pages = {}
for name in sorted(os.listdir(folder)):
    if name.endswith(".html"):
        with open(os.path.join(folder, name), "rb") as f:
            pages["/" + name] = f.read()
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        body = pages.get(self.path)
        if body is None:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        try:
            self.wfile.write(body)
        except ConnectionError:
            # wrk closes its connections at the end of a run; the proxy then
            # drops the fetches it was making for them.
            pass
    def log_message(self, *args):
        pass
class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    request_queue_size = 256
Server(("127.0.0.1", port), Handler).serve_forever()
PY
origin_port=$(free_port)
python3 "$tmp/origin.py" "$pages" "$origin_port" &
pids="$pids $!"

cvie_port=$(free_port)
CVIE_ROOT="$tmp/root" CVIE_UPDATE_SERVER=http://127.0.0.1:9 "$cvie" proxy \
  --listen "127.0.0.1:$cvie_port" --no-update-check >"$tmp/proxy.out" 2>"$tmp/proxy.err" &
cvie_pid=$!
pids="$pids $cvie_pid"
for _ in 1 2 3 4 5 6 7 8 9 10; do
  grep -q listening "$tmp/proxy.out" 2>/dev/null && break
  sleep 1
done
grep -q listening "$tmp/proxy.out" || { echo "cvie proxy did not start:"; cat "$tmp/proxy.err"; exit 1; }

# wrk picks a page at random for every request and sends it in absolute
# form, as a browser does to a proxy.
ls "$pages" | grep '\.html$' | sed "s|^|http://127.0.0.1:$origin_port/|" >"$tmp/urls.txt"
cat > "$tmp/mix.lua" <<'LUA'
local urls = {}
for line in io.lines(os.getenv("WRK_URLS")) do urls[#urls + 1] = line end
math.randomseed(os.time())
request = function()
  return wrk.format("GET", urls[math.random(#urls)], {["Accept"] = "text/html"})
end
LUA
export WRK_URLS="$tmp/urls.txt"
page_count=$(wc -l <"$tmp/urls.txt")
bytes=$(cat "$pages"/*.html | wc -c)
echo "origin: $page_count corpus pages ($bytes bytes), proxy pid $cvie_pid, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"

# Warm-up: every thread, cache and pool in place before measuring.
wrk -t2 -c8 -d10s -s "$tmp/mix.lua" "http://127.0.0.1:$cvie_port" >"$tmp/warm.txt" 2>&1
rss_warm=$(rss_kib $cvie_pid)
fd_warm=$(fd_count $cvie_pid)

# The run, with a sample of RSS and descriptors every 5 s.
(
  while kill -0 $cvie_pid 2>/dev/null; do
    echo "$(rss_kib $cvie_pid) $(fd_count $cvie_pid)" >>"$tmp/samples.txt"
    sleep 5
  done
) &
sampler=$!
pids="$pids $sampler"
wrk -t"$threads" -c"$conns" -d"${secs}s" --timeout 30s --latency -s "$tmp/mix.lua" \
  "http://127.0.0.1:$cvie_port" >"$tmp/run.txt" 2>&1
kill $sampler 2>/dev/null || true
sleep 2
rss_end=$(rss_kib $cvie_pid)
fd_end=$(fd_count $cvie_pid)
echo "$rss_end $fd_end" >>"$tmp/samples.txt"

echo "--- wrk -t$threads -c$conns -d${secs}s through cvie proxy ---"
cat "$tmp/run.txt"
echo "--- summary ---"
awk '/Requests\/sec/ {print "requests/s:        " $2}' "$tmp/run.txt"
awk '$1=="50%" {print "latency p50:       " $2} $1=="99%" {print "latency p99:       " $2}' "$tmp/run.txt"
non2xx=$(awk '/Non-2xx or 3xx responses/ {print $5}' "$tmp/run.txt")
echo "non-2xx/3xx:        ${non2xx:-0}"
errors=$(grep 'Socket errors' "$tmp/run.txt" || true)
echo "socket errors:      ${errors:-none}"
echo "RSS after warm-up:  $rss_warm KiB"
echo "RSS at end:         $rss_end KiB (2 s after the run)"
awk 'NR==1 {min=$1; max=$1} {if ($1<min) min=$1; if ($1>max) max=$1} END {print "RSS samples:       min " min " KiB, max " max " KiB"}' "$tmp/samples.txt"
awk -v w="$fd_warm" 'NR==1 {min=$2; max=$2} {if ($2<min) min=$2; if ($2>max) max=$2} END {print "open fds:          after warm-up " w ", min " min ", max " max}' "$tmp/samples.txt"
echo "open fds at end:    $fd_end"
if ! kill -0 $cvie_pid 2>/dev/null; then echo "cvie proxy DIED during the run"; cat "$tmp/proxy.err"; exit 1; fi
