#!/usr/bin/env python3
"""Hostile HTTP clients against the real mirx_dashboard (the argument), one table of
attacks, each from its own loopback address. Throughout each, a normal client at 127.0.0.1
must get /api/v1/state within a second every time, and the resident size stay bounded."""

import re
import socket
import subprocess
import sys
import threading
import time

RSS_BOUND_MB = 64  # the bound docs/dashboard.md gives for the default limits
PER_ADDRESS_CONNECTIONS, PER_ADDRESS_STREAMS = 16, 8
DEADLINE_S = 2  # --request-deadline, shorter than the default to keep the test short
ROW_LIMIT = 10000  # node rows kept; older ones are dropped

class Dashboard:
    """The real binary on free loopback ports, read from its start line."""

    def __init__(self, path, *options):
        self.proc = subprocess.Popen(
            [path, "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", *options],
            stderr=subprocess.PIPE, text=True)
        line = self.proc.stderr.readline()
        m = re.search(r"udp 127\.0\.0\.1:(\d+), page on http://127\.0\.0\.1:(\d+)/", line)
        assert m, "no start line: " + line
        self.udp, self.http = int(m.group(1)), int(m.group(2))

    def rss_mb(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:")) / 1024

    def connect(self, source, timeout=1.0):
        s = socket.socket()
        s.settimeout(timeout)
        s.bind((source, 0))
        s.connect(("127.0.0.1", self.http))
        return s

    def get(self, path, source="127.0.0.1", headers="", timeout=1.0, head_only=False):
        """(status, header lines, body) of one request, all within `timeout`."""
        end, data = time.monotonic() + timeout, b""
        with self.connect(source, timeout) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\n{headers}\r\n".encode())
            while not (head_only and b"\r\n\r\n" in data):
                s.settimeout(max(0.01, end - time.monotonic()))
                chunk = s.recv(1 << 16)
                if not chunk:
                    break
                data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        return int(lines[0].split()[1]), lines[1:], body

    def metric(self, name):
        body = self.get("/metrics", timeout=5)[2]
        return float(re.search(rb"\n" + re.escape(name.encode()) + rb" (\S+)\n", body).group(1))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)

def flood(d, count):
    """ADD records of `count` distinct call signs, sent again until the rows are there."""
    out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    out.bind(("127.0.0.6", 0))
    rows = min(count, ROW_LIMIT)
    for _ in range(5):
        for i in range(count):
            # tag, 4 unwritten bytes, call1, call2, the node's address, 4 unwritten bytes
            record = b"ADD \0\0\0\0N%07dGW\0\0\0\0\0\0\x7f\0\x01%c\0\0\0\0" % (i, i % 250 + 1)
            out.sendto(record, ("127.0.0.1", d.udp))
            if i % 100 == 99:
                time.sleep(0.005)  # within the receive buffer, mostly
        time.sleep(0.5)
        if d.metric("mirx_dashboard_nodes_registered") == rows:
            break
    out.close()
    assert d.metric("mirx_dashboard_nodes_registered") == rows, "records lost"

def pending(sock):
    """What the socket has to read now: b"" once closed, None when nothing yet."""
    try:
        sock.settimeout(0.01)
        return sock.recv(256)
    except socket.timeout:
        return None
    except OSError:
        return b""

def crowd(source, drip):
    """120 connections from one address, idle or sending a header byte a second: all
    beyond the cap refused at once, unread; the rest closed at the deadline."""
    def attack(d):
        socks, stop = [d.connect(source) for _ in range(120)], threading.Event()

        def trickle():
            for _ in range(30):
                if stop.wait(1) or not drip:
                    return
                for s in socks:
                    try:
                        s.send(b"G")
                    except OSError:
                        pass
        t = threading.Thread(target=trickle)
        t.start()
        try:
            time.sleep(0.5)
            refused = sum((pending(s) or b"").startswith(b"HTTP/1.1 503") for s in socks)
            assert refused == 120 - PER_ADDRESS_CONNECTIONS, refused
            time.sleep(DEADLINE_S + 0.5)
            assert all(pending(s) == b"" for s in socks), "a request outlived the deadline"
        finally:
            stop.set()
            t.join()
            for s in socks:
                s.close()
    return attack

def stream_hogging(d):
    """One address opens event streams up to its cap, is refused one more, and has a
    slot again within a second of closing one."""
    def stream(source):
        return d.get("/events", source, timeout=2, head_only=True)[:2]
    streams = []
    try:
        for _ in range(PER_ADDRESS_STREAMS):
            streams.append(d.connect("127.0.0.4", 2))
            streams[-1].sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
            assert streams[-1].recv(12) == b"HTTP/1.1 200", "stream refused below the cap"
        status, headers = stream("127.0.0.4")
        assert status == 503 and "Retry-After: 10" in headers, status
        assert headers.count("Connection: close") == 1, headers
        assert d.metric("mirx_dashboard_event_streams_refused_total") >= 1
        assert stream("127.0.0.5")[0] == 200, "another address refused"
        streams.pop().close()
        deadline = time.monotonic() + 1
        while stream("127.0.0.4")[0] != 200:
            assert time.monotonic() < deadline, "a closed stream kept its slot"
            time.sleep(0.1)
    finally:
        for s in streams:
            s.close()

def rows(d):
    """75,200 ADD records of distinct call signs, then the state 100 times."""
    flood(d, 75200)
    for _ in range(100):
        status, _, body = d.get("/api/v1/state", "127.0.0.7", timeout=10)
        assert status == 200 and body.endswith(b"}") and d.rss_mb() < RSS_BOUND_MB, status

def answer(path, headers, expect):
    """One request, its (status, header lines, body) judged by `expect`."""
    def attack(d):
        got = d.get(path, "127.0.0.8", headers, head_only=path == "/events")
        assert expect(*got), got[:2]
    return attack

ATTACKS = [
    ("slow drip", crowd("127.0.0.2", drip=True)),
    ("many connections from one address", crowd("127.0.0.3", drip=False)),
    ("event stream slots hogged, then one closed", stream_hogging),
    ("75,200 rows, state asked 100 times", rows),
    ("one Cache-Control on /events", answer("/events", "", lambda status, headers, body: sum(
        h.lower().startswith("cache-control:") for h in headers) == 1)),
    ("multi-range request", answer("/", "Range: bytes=0-1,3-4\r\n", lambda status, headers, body:
        status == 200 and body.startswith(b"<!") and "multipart" not in str(headers))),
]

def served(d, stop, failures):
    """The normal client: the state every 0.2 s until `stop`."""
    for _ in range(1000):
        if stop.wait(0.2):
            return
        try:
            status, _, body = d.get("/api/v1/state")
            if status != 200 or not body.endswith(b"}"):
                failures.append(status)
        except OSError as e:
            failures.append(repr(e))

def main():
    d = Dashboard(sys.argv[1], "--request-deadline", str(DEADLINE_S))
    failed = 0
    try:
        for name, attack in ATTACKS:
            stop, unserved, errors = threading.Event(), [], []
            normal = threading.Thread(target=served, args=(d, stop, unserved))
            normal.start()
            try:
                attack(d)
            except Exception as e:  # reported with its attack; the others still run
                errors.append(repr(e))
            stop.set()
            normal.join()
            rss = d.rss_mb()
            errors += [f"normal client not served: {unserved[:3]}"] if unserved else []
            errors += [f"RSS {rss:.0f} MB"] if rss >= RSS_BOUND_MB else []
            print(f"{'FAIL' if errors else 'ok  '} {name} (RSS {rss:.0f} MB)", *errors, sep="\n  ")
            failed += bool(errors)
    finally:
        d.stop()
    return 1 if failed else 0

if __name__ == "__main__":
    sys.exit(main())
