#!/usr/bin/env python3
"""Hostile HTTP clients against the real mirx_dashboard, one table of attacks.

During each attack a well-behaved client at 127.0.0.1 must get /api/v1/state
within a second, every time it asks; each attack comes from its own loopback
address and has its own check. The dashboard's resident memory must stay
under RSS_BOUND_MB throughout. Usage: dashboard_hostile_test.py MIRX_DASHBOARD
"""

import re
import socket
import subprocess
import sys
import threading
import time

NORMAL = "127.0.0.1"
RSS_BOUND_MB = 64  # the bound docs/dashboard.md gives for the default limits
PER_ADDRESS_CONNECTIONS = 16
PER_ADDRESS_STREAMS = 8
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
        if not m:
            raise SystemExit("no start line: " + line)
        self.udp, self.http = int(m.group(1)), int(m.group(2))

    def rss_mb(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            kb = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
        return kb / 1024

    def connect(self, source, timeout=1.0):
        s = socket.socket()
        s.settimeout(timeout)
        s.bind((source, 0))
        s.connect(("127.0.0.1", self.http))
        return s

    def get(self, path, source=NORMAL, headers="", timeout=1.0, head_only=False):
        """(status, header lines, body) of one request, all within `timeout`."""
        end = time.monotonic() + timeout
        with self.connect(source, timeout) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\n{headers}\r\n".encode())
            data = b""
            while b"\r\n\r\n" not in data or not head_only:
                s.settimeout(max(0.01, end - time.monotonic()))
                chunk = s.recv(1 << 16)
                if not chunk:
                    break
                data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        return int(lines[0].split()[1]), lines[1:], body

    def metric(self, name):
        _, _, body = self.get("/metrics", timeout=5)
        m = re.search(rb"\n" + name.encode() + rb" (\S+)\n", body)
        return float(m.group(1))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


def add_record(i):
    """An ADD record as the server sends it: tag, 4 unwritten bytes, call1,
    call2, the node's address, 4 unwritten bytes."""
    call = b"N%07d" % i
    return b"ADD \0\0\0\0" + call + b"GW\0\0\0\0\0\0" + bytes([127, 0, 1, i % 250 + 1]) + b"\0" * 4


# The attacks: each starts, and returns its check (run while a normal client
# keeps asking) and its end.

def crowd(source, drip):
    """120 connections from one address, idle or sending a header byte a second."""
    def attack(d):
        socks = [d.connect(source) for _ in range(120)]
        stop = threading.Event()

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

        def check():
            time.sleep(0.5)  # the cap refuses the rest at once, unread
            refused = sum(1 for s in socks if (first_line(s) or b"").startswith(b"HTTP/1.1 503"))
            assert refused == 120 - PER_ADDRESS_CONNECTIONS, refused
            time.sleep(DEADLINE_S + 0.5)
            assert all(first_line(s) == b"" for s in socks), "a request outlived the deadline"

        def end():
            stop.set()
            t.join()
            for s in socks:
                s.close()
        return check, end
    return attack


def first_line(sock):
    """What the socket has to read now (b"" once closed), None when nothing yet."""
    try:
        sock.settimeout(0.01)
        return sock.recv(256)
    except socket.timeout:
        return None
    except OSError:
        return b""


def open_stream(d, source):
    status, headers, _ = d.get("/events", source, timeout=2, head_only=True)
    return status, headers


def stream_hogging(d):
    """One address opens event streams until refused, then closes one."""
    streams = []
    for _ in range(PER_ADDRESS_STREAMS):
        s = d.connect("127.0.0.4", 2)
        s.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
        assert s.recv(12).startswith(b"HTTP/1.1 200"), "stream refused below the cap"
        streams.append(s)

    def check():
        status, headers = open_stream(d, "127.0.0.4")
        assert status == 503 and "Retry-After: 10" in headers, status
        assert headers.count("Connection: close") == 1, headers
        assert d.metric("mirx_dashboard_event_streams_refused_total") >= 1
        assert open_stream(d, "127.0.0.5")[0] == 200, "another address refused"
        streams.pop().close()
        deadline = time.monotonic() + 1
        while open_stream(d, "127.0.0.4")[0] != 200:  # its slot is free within a second
            assert time.monotonic() < deadline, "a closed stream kept its slot"
            time.sleep(0.1)

    return check, lambda: [s.close() for s in streams]


def flood(d, count):
    """Sends the ADD records until every row is there: an ADD for a call sign
    already shown only replaces its row, so a pass may be sent again."""
    out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    out.bind(("127.0.0.6", 0))
    rows = min(count, ROW_LIMIT)
    for _ in range(5):
        for i in range(count):
            out.sendto(add_record(i), ("127.0.0.1", d.udp))
            if i % 100 == 99:
                time.sleep(0.005)  # within the receive buffer, mostly
        time.sleep(0.5)
        if d.metric("mirx_dashboard_nodes_registered") == rows:
            break
    out.close()
    assert d.metric("mirx_dashboard_nodes_registered") == rows, "records lost"


def rows(count):
    """count ADD records of distinct call signs, then /api/v1/state 100 times."""
    def attack(d):
        def check():
            flood(d, count)
            for _ in range(100):
                status, _, body = d.get("/api/v1/state", "127.0.0.7", timeout=10)
                assert status == 200 and body.endswith(b"}"), status
                assert d.rss_mb() < RSS_BOUND_MB, d.rss_mb()

        return check, lambda: None
    return attack


def answer(path, headers, expect):
    """One request, its (status, header lines, body) judged by `expect`."""
    def attack(d):
        def check():
            got = d.get(path, "127.0.0.8", headers, head_only=path == "/events")
            assert expect(*got), got[:2]
        return check, lambda: None
    return attack


def one_cache_control(status, headers, body):
    return sum(h.lower().startswith("cache-control:") for h in headers) == 1


def whole_file(status, headers, body):
    return status == 200 and body.startswith(b"<!") and "multipart" not in str(headers)


ATTACKS = [
    ("slow drip", crowd("127.0.0.2", drip=True)),
    ("many connections from one address", crowd("127.0.0.3", drip=False)),
    ("event stream slots hogged, then one closed", stream_hogging),
    ("75,200 rows, state asked 100 times", rows(75200)),
    ("one Cache-Control on /events", answer("/events", "", one_cache_control)),
    ("multi-range request", answer("/", "Range: bytes=0-1,3-4\r\n", whole_file)),
]


def normal_client_served(d, name, stop):
    """Asks for the state every 0.2 s until `stop`; each answer within 1 s."""
    failures = []
    for _ in range(1000):
        if stop.wait(0.2):
            break
        try:
            status, _, body = d.get("/api/v1/state")
            if status != 200 or not body.endswith(b"}"):
                failures.append(status)
        except OSError as e:
            failures.append(repr(e))
    assert not failures, f"{name}: normal client not served: {failures[:3]}"


def main():
    d = Dashboard(sys.argv[1], "--request-deadline", str(DEADLINE_S))
    failed = 0
    try:
        for name, attack in ATTACKS:
            check, end = attack(d)
            stop = threading.Event()
            errors = []
            watcher = threading.Thread(target=lambda: catch(errors, normal_client_served, d, name, stop))
            watcher.start()
            catch(errors, check)
            stop.set()
            watcher.join()
            end()
            rss = d.rss_mb()
            if rss >= RSS_BOUND_MB:
                errors.append(f"RSS {rss:.0f} MB")
            print(f"{'FAIL' if errors else 'ok  '} {name} (RSS {rss:.0f} MB)", *errors, sep="\n  ")
            failed += bool(errors)
    finally:
        d.stop()
    return 1 if failed else 0


def catch(errors, fn, *args):
    try:
        fn(*args)
    except Exception as e:  # reported with the attack; the others still run
        errors.append(repr(e))


if __name__ == "__main__":
    sys.exit(main())
