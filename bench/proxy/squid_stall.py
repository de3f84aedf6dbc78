#!/usr/bin/env python3
"""How long the Squid adapter holds up Squid's event loop.

Starts a private Squid (loopback, no cache) with the adapter and a loopback
origin that serves a large ad page and a tiny text file. Two clients fetch
the large page (filtered by the adapter) over and over while a third fetches
the tiny file (which the adapter does not touch) every 20 ms; the tiny
file's latency shows how long Squid's one thread was busy elsewhere. Prints
the time per large page and the tiny file's median, p99 and worst latency.

  squid_stall.py CVIE ADAPTER [page MB] [seconds] [extra ecap_service params]
Not a test. Needs squid.
"""
import http.server
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

here = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    cvie, adapter = sys.argv[1], os.path.abspath(sys.argv[2])
    page_mb = float(sys.argv[3]) if len(sys.argv) > 3 else 8
    seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 10
    extra = sys.argv[5] if len(sys.argv) > 5 else ""
    squid = shutil.which("squid") or "/usr/sbin/squid"
    work = tempfile.mkdtemp(prefix="cvie-stall-")
    os.chmod(work, 0o777)
    root = os.path.join(work, "root")
    env = dict(os.environ, CVIE_ROOT=root)
    subprocess.run([cvie, "rules", "install"], env=env, check=True, stdout=subprocess.DEVNULL)
    page_file = os.path.join(work, "page.html")
    subprocess.run([sys.executable, os.path.join(here, "make_page.py"),
                    str(int(page_mb * 1e6)), page_file], check=True)
    page = open(page_file, "rb").read()

    class Origin(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            body, kind = (page, "text/html") if self.path == "/page.html" else \
                (b"tiny\n", "text/plain")
            self.send_response(200)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    origin = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Origin)
    threading.Thread(target=origin.serve_forever, daemon=True).start()
    base = "http://127.0.0.1:%d" % origin.server_address[1]
    port = free_port()
    user = ""
    if os.geteuid() == 0:
        user = "cache_effective_user proxy\n"
        subprocess.run(["chmod", "-R", "a+rwX", work], check=True)
    conf = os.path.join(work, "squid.conf")
    with open(conf, "w") as f:
        f.write(f"""http_port 127.0.0.1:{port}
pid_filename {work}/squid.pid
access_log none
cache_log {work}/cache.log
cache_store_log none
cache deny all
{user}http_access allow localhost
http_access deny all
shutdown_lifetime 0 seconds
ecap_enable on
loadable_modules {adapter}
ecap_service cvie respmod_precache uri=ecap://corvane.example/filter root={root} {extra}
adaptation_access cvie allow all
""")
    proc = subprocess.Popen([squid, "-N", "-f", conf], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                break
            except OSError:
                time.sleep(0.1)
        opener = urllib.request.build_opener(
            urllib.request.ProxyHandler({"http": "http://127.0.0.1:%d" % port}))

        def get(path):
            with opener.open(base + path, timeout=60) as answer:
                return answer.read()

        filtered = get("/page.html")
        if filtered == page:
            print("WARNING: the page through the adapter is unchanged")
        def tiny_latencies(seconds):
            times = []
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                start = time.monotonic()
                get("/tiny.txt")
                times.append(time.monotonic() - start)
                time.sleep(0.02)
            return sorted(times)

        idle = tiny_latencies(2)
        stop = threading.Event()
        page_times = []

        def big():
            while not stop.is_set():
                start = time.monotonic()
                get("/page.html")
                page_times.append(time.monotonic() - start)

        workers = [threading.Thread(target=big) for _ in range(2)]
        for w in workers:
            w.start()
        tiny = tiny_latencies(seconds)
        stop.set()
        for w in workers:
            w.join()
        ms = lambda t: "%.1f ms" % (t * 1000)
        print("%s %s\n  page of %.1f MB: %d pages, %s each (median); tiny file alone: "
              "median %s; beside the pages: median %s, p99 %s, worst %s (%d fetches); "
              "load %s" %
              (adapter, extra, len(page) / 1e6, len(page_times),
               ms(sorted(page_times)[len(page_times) // 2]) if page_times else "-",
               ms(idle[len(idle) // 2]), ms(tiny[len(tiny) // 2]), ms(tiny[int(len(tiny) * 0.99)]), ms(tiny[-1]),
               len(tiny), open("/proc/loadavg").read().split()[0]))
    finally:
        proc.terminate()
        proc.wait(timeout=10)
        origin.shutdown()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
