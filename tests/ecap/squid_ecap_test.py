#!/usr/bin/env python3
"""The eCAP adapter inside a private Squid.

Starts `squid -N` with a generated configuration (no cache folder, pid and logs
in a temporary folder, a free loopback port) that loads libcvie_ecap.so, and a
loopback origin. Checks: an HTML page with an ad comes out exactly as
`cvie filter` filters it, with a corrected length and no-store, also when the
origin sends it gzip, br or zstd coded (then it comes out not coded); a
binary file, a whitelisted page and broken coded data come out byte for byte;
a small coded page that decodes to hundreds of megabytes passes on coded
without growing Squid's memory by more than the page limit and the
decoders' windows. A 100 MB binary download passes byte for byte; a page
past the limit without a length, read by a browser that stops reading for a
while, does not grow Squid's memory while it waits (the adapter takes no
more of the origin's body than it can send). A rule file installed while
Squid runs is picked up without a restart, Squid's memory stays flat over
twenty reconfigurations (figures printed), and pages asked for while Squid
reconfigures come back whole and filtered.

Usage: squid_ecap_test.py CVIE ADAPTER. Exits 77 (skipped) when Squid or the
adapter is missing or Squid cannot start.
"""
import hashlib
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
import zlib

SKIP = 77
START_TIMEOUT = float(os.environ.get("CVIE_SQUID_START_TIMEOUT", "10"))

AD_PAGE = (b"<html><head><title>news</title></head><body><p>story</p>"
           b'<img src="http://ads.example/ads/banner.gif" width="468" height="60">'
           b'<img src="/pictures/cat.gif"></body></html>\n')
# An image kept by the bundled rules, blocked only by the rule installed later.
LATE_PAGE = b'<html><body><img src="/pictures/late-banner.gif"></body></html>\n'
BINARY = bytes(range(256)) * 64
# Past the page limit (max_filtered_mib=1): passed on unchanged, whether the
# origin declares its length or not.
BIG_PAGE = AD_PAGE + b"<p>" + b"x" * (3 << 19) + b"</p>\n"
# Decoded size of the compression bomb, and how much Squid's peak memory may
# grow while it passes (the page limit, the decoders' windows and Squid's own
# buffers, far below the decoded size).
BOMB_SIZE = 256 << 20
BOMB_GROWTH_LIMIT = 48 << 20
# The large downloads: a binary with its length, and an HTML page past the
# limit without one, streamed by the origin.
HUGE_BINARY_SIZE = 100 << 20
HUGE_PAGE_SIZE = 160 << 20
# How much Squid's memory may grow while a browser stops reading a large
# unsized page: the page limit, the adapter's hold and Squid's own buffers.
SLOW_READER_GROWTH_LIMIT = 32 << 20
SLOW_READER_PAUSE = float(os.environ.get("CVIE_SQUID_SLOW_READER_PAUSE", "3"))
RECONFIGURES = int(os.environ.get("CVIE_SQUID_RECONFIGURES", "20"))
LOADED_RECONFIGURES = int(os.environ.get("CVIE_SQUID_LOADED_RECONFIGURES", "5"))
# Growth of Squid's resident memory allowed over the reconfigurations: a
# rule index or list set kept per reconfiguration would pass it.
RECONFIGURE_GROWTH_LIMIT = 24 << 20


def gzip_bytes(data):
    coder = zlib.compressobj(9, zlib.DEFLATED, 31)
    return coder.compress(data) + coder.flush()


def gzip_bomb(size):
    coder = zlib.compressobj(9, zlib.DEFLATED, 31)
    out = [coder.compress(b"<html><body><p>")]
    piece = b" " * (1 << 20)
    for _ in range(size >> 20):
        out.append(coder.compress(piece))
    out.append(coder.flush())
    return b"".join(out)


def coded_by_tool(tool, data):
    """`data` coded by the command-line tool `tool` (brotli, zstd); None
    when it is not installed."""
    path = shutil.which(tool)
    if not path:
        return None
    return subprocess.run([path, "-c"], input=data, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=True).stdout


GZIP_PAGE = gzip_bytes(AD_PAGE)
BROKEN_GZIP = bytearray(gzip_bytes(AD_PAGE * 20))
for _i in range(len(BROKEN_GZIP) // 3, len(BROKEN_GZIP) // 3 + 30):
    BROKEN_GZIP[_i] ^= 0x5A
BROKEN_GZIP = bytes(BROKEN_GZIP)
BOMB = gzip_bomb(BOMB_SIZE)
CODED_PAGES = {"/coded/gzip.html": ("gzip", GZIP_PAGE)}
for _coding, _tool in (("br", "brotli"), ("zstd", "zstd")):
    _coded = coded_by_tool(_tool, AD_PAGE)
    if _coded is not None:
        CODED_PAGES["/coded/%s.html" % _coding] = (_coding, _coded)
    else:
        print("note: no %s tool, the %s page is left out" % (_tool, _coding))
CODED_PAGES["/coded/broken.html"] = ("gzip", BROKEN_GZIP)
CODED_PAGES["/coded/bomb.html"] = ("gzip", BOMB)


def huge_pieces(path):
    """The large downloads, 1 MiB at a time."""
    if path == "/huge.bin":
        piece = bytes(range(256)) * 4096
        for _ in range(HUGE_BINARY_SIZE // len(piece)):
            yield piece
    else:
        yield b"<html><body><p>"
        piece = b"<b>streamed</b> " * 65536
        for _ in range(HUGE_PAGE_SIZE // len(piece)):
            yield piece


def huge_digest(path):
    digest = hashlib.sha256()
    size = 0
    for piece in huge_pieces(path):
        digest.update(piece)
        size += len(piece)
    return size, digest.hexdigest()


class Origin(http.server.BaseHTTPRequestHandler):
    pages = {
        "/news.html": ("text/html; charset=utf-8", AD_PAGE),
        "/white/news.html": ("text/html", AD_PAGE),
        "/late.html": ("text/html", LATE_PAGE),
        "/file.bin": ("application/octet-stream", BINARY),
        "/big.html": ("text/html", BIG_PAGE),
        "/big-unsized.html": ("text/html", BIG_PAGE),
    }

    def do_GET(self):
        if self.path in ("/huge.bin", "/huge-unsized.html"):
            self.send_response(200)
            if self.path == "/huge.bin":
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Content-Length", str(HUGE_BINARY_SIZE))
            else:
                self.send_header("Content-Type", "text/html")
            self.end_headers()
            try:
                for piece in huge_pieces(self.path):
                    self.wfile.write(piece)
            except OSError:
                pass
            return
        if self.path in CODED_PAGES:
            coding, body = CODED_PAGES[self.path]
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Encoding", coding)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("ETag", '"v1"')
            self.end_headers()
            self.wfile.write(body)
            return
        kind, body = self.pages.get(self.path, ("text/plain", b"missing"))
        self.send_response(200 if self.path in self.pages else 404)
        self.send_header("Content-Type", kind)
        if self.path != "/big-unsized.html":  # else the end of the connection ends it
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "max-age=600")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fetch(proxy_port, url):
    opener = urllib.request.build_opener(
        urllib.request.ProxyHandler({"http": "http://127.0.0.1:%d" % proxy_port}))
    with opener.open(url, timeout=10) as answer:
        return answer.read(), answer.headers


def fetch_raw(proxy_port, url, pause_after=0, pause=0.0, on_pause=None):
    """The body of `url` through the proxy, read over a plain socket with a
    small receive buffer, as (size, sha256); reading stops for `pause`
    seconds after `pause_after` body bytes, and `on_pause()` is called at its
    start and end (its results returned)."""
    with socket.create_connection(("127.0.0.1", proxy_port), timeout=30) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)
        s.sendall(b"GET %s HTTP/1.0\r\nAccept: text/html\r\n\r\n" % url.encode())
        head = b""
        while b"\r\n\r\n" not in head:
            data = s.recv(65536)
            if not data:
                return 0, None, []
            head += data
        head, body = head.split(b"\r\n\r\n", 1)
        digest = hashlib.sha256(body)
        size = len(body)
        marks = []
        paused = pause_after <= 0
        while True:
            if not paused and size >= pause_after:
                paused = True
                marks.append(on_pause())
                time.sleep(pause)
                marks.append(on_pause())
            data = s.recv(1 << 20)
            if not data:
                break
            digest.update(data)
            size += len(data)
        return size, digest.hexdigest(), marks


def fetch_once(proxy_port, url):
    """(status, body) of one GET through the proxy on a new connection;
    (None, b"") when the connection was refused or reset before any byte
    came, i.e. Squid never took it."""
    got = b""
    try:
        with socket.create_connection(("127.0.0.1", proxy_port), timeout=10) as s:
            s.sendall(b"GET %s HTTP/1.0\r\nAccept: text/html\r\n\r\n" % url.encode())
            while True:
                data = s.recv(65536)
                if not data:
                    break
                got += data
    except (ConnectionRefusedError, ConnectionResetError):
        if not got:
            return None, b""
    except OSError:
        pass
    head, _, body = got.partition(b"\r\n\r\n")
    try:
        status = int(head.split(b" ", 2)[1])
    except (IndexError, ValueError):
        status = 0
    return status, body


def memory_kib(pid, field):
    """VmRSS or VmHWM (peak) of a process, in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reconfigure(squid, conf, work, port, url, count):
    """Asks Squid to reconfigure and waits until it did and serves again."""
    subprocess.run([squid, "-k", "reconfigure", "-f", conf], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    end = time.time() + 8
    while time.time() < end:
        time.sleep(0.2)
        with open(os.path.join(work, "cache.log"), errors="replace") as f:
            seen = f.read().count("Reconfiguring Squid Cache")
        if seen < count:
            continue
        try:
            return fetch(port, url)[0]
        except OSError:
            pass
    return None


def wait_for_port(port, process, timeout):
    end = time.time() + timeout
    while time.time() < end:
        if process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.1)
    return False


def main():
    cvie, adapter = sys.argv[1], sys.argv[2]
    squid = shutil.which("squid") or (os.path.exists("/usr/sbin/squid") and "/usr/sbin/squid")
    if not squid or not os.path.exists(adapter):
        print("skipped: squid or the adapter is missing")
        return SKIP
    failures = []

    def check(condition, what):
        print(("ok   " if condition else "FAIL ") + what)
        if not condition:
            failures.append(what)

    work = tempfile.mkdtemp(prefix="cvie-squid-")
    root = os.path.join(work, "root")
    env = dict(os.environ, CVIE_ROOT=root)
    origin = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Origin)
    threading.Thread(target=origin.serve_forever, daemon=True).start()
    base = "http://127.0.0.1:%d" % origin.server_address[1]
    squid_process = None
    try:
        subprocess.run([cvie, "rules", "install"], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run([cvie, "whitelist", "add", base + "/white/"], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        with open(os.path.join(work, "page.html"), "wb") as f:
            f.write(AD_PAGE)
        expected = subprocess.run([cvie, "filter", os.path.join(work, "page.html")],
                                  env=env, check=True, stdout=subprocess.PIPE).stdout
        check(expected != AD_PAGE, "the bundled rules change the ad page")

        port = free_port()
        user_line = ""
        if os.geteuid() == 0:
            # Squid drops to this user: it must read the root and write the logs.
            user_line = "cache_effective_user proxy\n"
            for folder, dirs, files in os.walk(work):
                os.chmod(folder, 0o777)
                for name in files:
                    os.chmod(os.path.join(folder, name), 0o666)
        conf = os.path.join(work, "squid.conf")
        with open(conf, "w") as f:
            f.write(f"""http_port 127.0.0.1:{port}
pid_filename {work}/squid.pid
access_log stdio:{work}/access.log
cache_log {work}/cache.log
cache_store_log none
cache deny all
{user_line}http_access allow localhost
http_access deny all
shutdown_lifetime 0 seconds
ecap_enable on
loadable_modules {os.path.abspath(adapter)}
ecap_service cvie respmod_precache uri=ecap://corvane.example/filter root={root} max_filtered_mib=1
adaptation_access cvie allow all
""")
        squid_process = subprocess.Popen([squid, "-N", "-f", conf], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
        if not wait_for_port(port, squid_process, START_TIMEOUT):
            log = open(os.path.join(work, "cache.log"), errors="replace").read() \
                if os.path.exists(os.path.join(work, "cache.log")) else ""
            print("skipped: squid did not start\n" + log[-2000:])
            return SKIP

        body, headers = fetch(port, base + "/news.html")
        check(body == expected, "the ad page comes out as cvie filter filters it")
        check(headers.get("Content-Length") == str(len(body)), "its length is corrected")
        check(headers.get("Cache-Control") == "no-store", "it is sent no-store")

        body, headers = fetch(port, base + "/file.bin")
        check(body == BINARY, "a binary file passes byte for byte")
        check(headers.get("Cache-Control") == "max-age=600", "with its own headers")

        body, headers = fetch(port, base + "/white/news.html")
        check(body == AD_PAGE, "a whitelisted page passes byte for byte")

        for path in ("/big.html", "/big-unsized.html"):
            body, _ = fetch(port, base + path)
            check(body == BIG_PAGE, "a page past the limit passes byte for byte: " + path)
        log = os.path.join(root, "Documents", "Corvane", "log1.txt")
        log_text = open(log, errors="replace").read() if os.path.exists(log) else ""
        check("bytes passed on unfiltered" in log_text,
              "the unsized page was collected up to the limit, then passed on")

        for path, (coding, coded) in CODED_PAGES.items():
            if path in ("/coded/broken.html", "/coded/bomb.html"):
                continue
            body, headers = fetch(port, base + path)
            check(body == expected, "a %s page comes out filtered, decoded" % coding)
            check(headers.get("Content-Encoding") is None and
                  headers.get("Content-Length") == str(len(body)) and
                  headers.get("Cache-Control") == "no-store" and headers.get("ETag") is None,
                  "the %s page is sent without its coding, with its length, no-store" % coding)
        body, headers = fetch(port, base + "/coded/broken.html")
        check(body == BROKEN_GZIP and headers.get("Content-Encoding") == "gzip",
              "broken gzip data passes through as it came")
        peak_before = memory_kib(squid_process.pid, "VmHWM")
        body, headers = fetch(port, base + "/coded/bomb.html")
        peak_after = memory_kib(squid_process.pid, "VmHWM")
        check(body == BOMB and headers.get("Content-Encoding") == "gzip",
              "a compression bomb passes on coded as it came")
        print("     bomb of %d KiB decoding to %d MiB: Squid's peak RSS %d -> %d KiB" %
              (len(BOMB) >> 10, BOMB_SIZE >> 20, peak_before, peak_after))
        check((peak_after - peak_before) * 1024 < BOMB_GROWTH_LIMIT,
              "the bomb grows Squid's peak memory by less than %d MiB" %
              (BOMB_GROWTH_LIMIT >> 20))

        # Reconfigurations keep the adapter working (the rule watcher is
        # stopped and started again around each) and free what they replace.
        # Large downloads: byte for byte, and a browser that stops reading
        # an unsized page past the limit costs Squid no memory meanwhile.
        size, digest, _ = fetch_raw(port, base + "/huge.bin")
        check((size, digest) == huge_digest("/huge.bin"),
              "a 100 MB binary download passes byte for byte")
        size, digest, marks = fetch_raw(
            port, base + "/huge-unsized.html", pause_after=256 << 10,
            pause=SLOW_READER_PAUSE,
            on_pause=lambda: memory_kib(squid_process.pid, "VmRSS"))
        check((size, digest) == huge_digest("/huge-unsized.html"),
              "a %d MB unsized page past the limit passes byte for byte to a slow reader" %
              (HUGE_PAGE_SIZE >> 20))
        if len(marks) == 2:
            print("     Squid's RSS while the reader waited %.1f s: %d -> %d KiB" %
                  (SLOW_READER_PAUSE, marks[0], marks[1]))
            check((marks[1] - marks[0]) * 1024 < SLOW_READER_GROWTH_LIMIT,
                  "Squid's memory grows by less than %d MiB while the reader waits" %
                  (SLOW_READER_GROWTH_LIMIT >> 20))
        else:
            check(False, "the slow reader got its first bytes")

        reconfigured = 0
        rss_start = None
        for i in range(1, RECONFIGURES + 1):
            body = reconfigure(squid, conf, work, port, base + "/news.html", i)
            if body == expected:
                reconfigured += 1
            if i == 2:
                rss_start = memory_kib(squid_process.pid, "VmRSS")
        rss_end = memory_kib(squid_process.pid, "VmRSS")
        check(reconfigured == RECONFIGURES,
              "the ad page is still filtered after each squid -k reconfigure")
        if rss_start is not None:
            print("     RSS after 2 reconfigurations %d KiB, after %d: %d KiB" %
                  (rss_start, RECONFIGURES, rss_end))
            check((rss_end - rss_start) * 1024 < RECONFIGURE_GROWTH_LIMIT,
                  "Squid's memory stays flat over %d reconfigurations" % RECONFIGURES)

        # Pages asked for while Squid reconfigures, from a few browsers at
        # once: each answer Squid starts comes back whole and filtered. A
        # connection Squid never took (refused, or reset before any byte
        # while Squid opens its port again) is tried again, as a browser
        # does; any other failure loses the request.
        load_stop = threading.Event()
        load = {"ok": 0, "not_taken": 0, "lost": []}
        load_lock = threading.Lock()
        page_url = base + "/news.html"

        def browse():
            while not load_stop.is_set():
                for _ in range(100):
                    status, body = fetch_once(port, page_url)
                    if status is None:
                        with load_lock:
                            load["not_taken"] += 1
                        time.sleep(0.02)
                        continue
                    outcome = None if (status, body) == (200, expected) else \
                        "status %s, %d bytes" % (status, len(body))
                    break
                else:
                    outcome = "not taken 100 times"
                with load_lock:
                    if outcome is None:
                        load["ok"] += 1
                    else:
                        load["lost"].append(outcome)

        browsers = [threading.Thread(target=browse) for _ in range(4)]
        for b in browsers:
            b.start()
        under_load = 0
        for i in range(RECONFIGURES + 1, RECONFIGURES + 1 + LOADED_RECONFIGURES):
            if reconfigure(squid, conf, work, port, page_url, i) == expected:
                under_load += 1
        time.sleep(0.5)
        load_stop.set()
        for b in browsers:
            b.join()
        print("     %d reconfigurations under load: %d pages, %d connections not taken "
              "and tried again, %d lost %s" %
              (LOADED_RECONFIGURES, load["ok"], load["not_taken"], len(load["lost"]),
               load["lost"][:3]))
        check(under_load == LOADED_RECONFIGURES and load["ok"] > 0 and not load["lost"],
              "no request is lost while Squid reconfigures under load")

        body, _ = fetch(port, base + "/late.html")
        check(body == LATE_PAGE, "a page no rule touches passes byte for byte")
        # A new rule file, installed as `cvie update` installs one, is picked
        # up by the running Squid within its check period.
        rules = os.path.join(work, "late.txt")
        with open(rules, "w") as f:
            f.write("late-banner$image\n")
        subprocess.run([cvie, "rules", "encipher", "--version", "9.9", rules,
                        os.path.join(work, "late.rle")],
                       env=env, check=True, stdout=subprocess.DEVNULL)
        subprocess.run([cvie, "rules", "install", os.path.join(work, "late.rle")], env=env,
                       check=True, stdout=subprocess.DEVNULL)
        if os.geteuid() == 0:
            for folder, dirs, files in os.walk(root):
                for name in files:
                    os.chmod(os.path.join(folder, name), 0o666)
        changed = False
        end = time.time() + 8
        while time.time() < end and not changed:
            time.sleep(0.5)
            body, _ = fetch(port, base + "/late.html")
            changed = body != LATE_PAGE
        check(changed, "a newly installed rule file is used without restarting Squid")
    finally:
        if squid_process and squid_process.poll() is None:
            squid_process.terminate()
            try:
                squid_process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                squid_process.kill()
                squid_process.wait()
        origin.shutdown()
        if failures and os.path.exists(os.path.join(work, "cache.log")):
            print(open(os.path.join(work, "cache.log"), errors="replace").read()[-3000:])
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
