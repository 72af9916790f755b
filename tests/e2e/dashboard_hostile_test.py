#!/usr/bin/env python3
"""Hostile HTTP clients, records and options against the real mirx_dashboard (the
argument): one table of attacks, each from its own loopback addresses. Throughout each, a
normal client at 127.0.0.1 must get /api/v1/state every time (within the deadline: a starved
client waits for ever, a loaded machine only briefly) and the resident size stay bounded. A
second table starts the program with options that once stopped or broke it."""

import json
import os
import re
import resource
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

RSS_BOUND_MB = 64  # the bound docs/dashboard.md gives for the default limits
PER_ADDRESS_CONNECTIONS, PER_ADDRESS_STREAMS = 16, 8
# --request-deadline, shorter than the default to keep the test short, long enough for the
# normal client's 1.5 MB state on a machine busy with other work
DEADLINE_S = 5
ROW_LIMIT = 10000  # node rows kept; older ones are dropped
THREAD_BOUND = 16  # however many connections are open
NORMAL_CLIENT_S = DEADLINE_S  # each of the normal client's requests, whole
# A connection's handshake, however short its requests: a crowd's burst may fill the listen
# queue of a program the machine is not running just then, and the kernel resends a dropped
# SYN after 1 s and 3 s.
CONNECT_S = 5
ISO_TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
# The Windows build runs through `wine` (tests/wine/dashboard.sh), and only the rows whose
# names the pattern finds.
LAUNCHER = os.environ.get("MIRX_DASHBOARD_LAUNCHER", "").split()
ROWS = re.compile(os.environ.get("MIRX_DASHBOARD_ROWS", ""))
# Wine's own libraries are resident from the start (21 MB where Linux shows 6): the bound
# keeps its room for the program's own use.
RSS_BOUND_MB += 16 if LAUNCHER else 0

class Dashboard:
    """The real binary on free loopback ports, read from its start line."""

    def __init__(self, path, *options):
        self.proc = subprocess.Popen(
            [*LAUNCHER, path, "--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", *options],
            stderr=subprocess.PIPE, text=True)
        line = self.proc.stderr.readline()
        m = re.search(r"udp 127\.0\.0\.1:(\d+), page on http://127\.0\.0\.1:(\d+)/", line)
        assert m, "no start line: " + line
        self.udp, self.http = int(m.group(1)), int(m.group(2))

    def status(self, field):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith(field + ":"))

    def rss_mb(self):
        return self.status("VmRSS") / 1024

    def send(self, records, source="127.0.0.6"):
        """Records to the dashboard, paced so the receive buffer holds them."""
        out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        out.bind((source, 0))
        for i, record in enumerate(records):
            out.sendto(record, ("127.0.0.1", self.udp))
            if i % 100 == 99:
                time.sleep(0.005)
        out.close()

    def connect(self, source, timeout=1.0, rcvbuf=0):
        s = socket.socket()
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.settimeout(max(timeout, CONNECT_S))
        s.bind((source, 0))
        s.connect(("127.0.0.1", self.http))
        s.settimeout(timeout)
        return s

    def stream(self, source, headers="", rcvbuf=0):
        """An event stream from `source`, read up to its status line, which must be 200."""
        s = self.connect(source, 10 if LAUNCHER else 2, rcvbuf)  # Wine answers slower
        s.sendall(f"GET /events HTTP/1.1\r\nHost: x\r\n{headers}\r\n".encode())
        assert s.recv(12) == b"HTTP/1.1 200", "stream refused"
        return s

    def get(self, path, source="127.0.0.1", headers="", timeout=5.0, head_only=False,
            method="GET"):
        """(status, header lines, body) of one request, all within `timeout` once connected."""
        with self.connect(source, timeout) as s:
            end, data = time.monotonic() + timeout, b""
            s.sendall(f"{method} {path} HTTP/1.1\r\nHost: x\r\n{headers}\r\n".encode())
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
        # Wine takes an interrupt as the console's Ctrl-C.
        self.proc.send_signal(signal.SIGINT if LAUNCHER else signal.SIGTERM)
        self.proc.wait(10)

def flood(d, count):
    """ADD records of `count` distinct call signs, sent again until the rows are there."""
    rows = min(count, ROW_LIMIT)
    for _ in range(5):  # the node's address after call2
        d.send(record(b"ADD ", b"N%07d" % i, b"GW", b"\x7f\0\x01%c\0\0\0\0" % (i % 250 + 1))
               for i in range(count))
        time.sleep(0.5)
        if d.metric("mirx_dashboard_nodes_registered") == rows:
            break
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

def drained(sock):
    """What `sock` has last, all it holds read away: b"" once closed, None while open."""
    for _ in range(10000):
        got = pending(sock)
        if not got:
            return got
    return None

def send_byte(socks):
    """A header byte on each of `socks` still open."""
    for s in socks:
        try:
            s.send(b"G")
        except OSError:
            pass

def crowd(source, drip):
    """120 connections from one address, idle or sending a header byte a second: all
    beyond the cap refused at once, unread; the rest closed at the deadline."""
    def attack(d):
        socks, stop = [d.connect(source) for _ in range(120)], threading.Event()

        def trickle():
            for _ in range(30):
                if stop.wait(1) or not drip:
                    return
                send_byte(socks)
        t = threading.Thread(target=trickle)
        t.start()
        try:
            refused = set()
            for _ in range(20):  # a busy machine answers them a little later
                refused |= {s for s in socks if s not in refused and
                            (pending(s) or b"").startswith(b"HTTP/1.1 503")}
                if len(refused) >= 120 - PER_ADDRESS_CONNECTIONS:
                    break
                time.sleep(0.1)
            assert len(refused) == 120 - PER_ADDRESS_CONNECTIONS, len(refused)
            time.sleep(DEADLINE_S + 1)
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
            streams.append(d.stream("127.0.0.4"))  # below the cap
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

def record(tag, call1=b"", call2=b"", tail=b"\0" * 8, middle=b"\0" * 4):
    return tag + middle + call1.ljust(8, b"\0") + call2.ljust(8, b"\0") + tail

def rows(d):
    """75,200 ADD records of distinct call signs, then the state 100 times."""
    flood(d, 75200)
    for _ in range(100):
        status, _, body = d.get("/api/v1/state", "127.0.0.7", timeout=10)
        assert status == 200 and body.endswith(b"}") and d.rss_mb() < RSS_BOUND_MB, status

def beat(seconds_up=60, streams_open=64, table=10):
    numbers = struct.pack(">IIIII", table, seconds_up, streams_open, 30, 3000)
    return b"HBT \0\0\0\0" + numbers + b"\0" * 4

def over(i, talker=None):
    """An over's header and end (ACC, END of 1.5 s) through a node of the table."""
    node, talker = b"N%07d" % (i % ROW_LIMIT), (talker or b"S%06d" % i).ljust(8, b"\0")
    return (record(b"ACC ", node, b"GW", talker),
            record(b"END ", node, b"GW", talker, b"\1\0\5\xdc"))

def unread_streams(d, sources, per_source, headers=""):
    """Event streams that read nothing past their status line, with small buffers."""
    return [d.stream(src, headers, 4096) for src in sources for _ in range(per_source)]

def hold(d, socks, seconds, drip=False):
    """Keeps `socks` open for `seconds` (a byte a second on each if `drip`), the resident
    size bounded meanwhile; the most threads seen."""
    peak, threads = 0, 0
    try:
        for tick in range(int(seconds * 10)):
            peak, threads = max(peak, d.rss_mb()), max(threads, d.status("Threads"))
            send_byte(socks if drip and tick % 10 == 0 else [])
            time.sleep(0.1)
    finally:
        for s in socks:
            s.close()
    assert peak < RSS_BOUND_MB, f"RSS {peak:.0f} MB with {len(socks)} connections open"
    return threads

def hosts(block, count):
    """`count` loopback addresses 127.`block`.x.y."""
    return [f"127.{block}.{i // 250}.{i % 250 + 1}" for i in range(count)]

def requests(d, sources, per_source, text, rcvbuf=4096):
    """Connections that each send `text` and read nothing."""
    socks = [d.connect(src, rcvbuf=rcvbuf) for src in sources for _ in range(per_source)]
    for s in socks:
        try:
            s.sendall(text)
        except OSError:
            pass
    return socks

def unread_small_streams(d):
    """Streams reading nothing while their system takes the small state and the pings:
    each closed at the deadline all the same."""
    socks = unread_streams(d, ["127.0.4.1"], PER_ADDRESS_STREAMS)
    try:
        # The deadline, the check that finds no progress and a busy machine's delay;
        # nothing read meanwhile.
        time.sleep(DEADLINE_S + 3)
        left = [s for s in socks if drained(s) is None]
        assert not left, f"{len(left)} of {len(socks)} streams open past the deadline"
    finally:
        for s in socks:
            s.close()

def stuffed_heads(d):
    """2,048 heads of 2,000 empty fields and a body that never comes, from 128 addresses."""
    head = b"GET / HTTP/1.1\r\n" + b"a:\r\n" * 2000 + b"Content-Length: 100\r\n\r\n"
    hold(d, requests(d, hosts(10, 128), PER_ADDRESS_CONNECTIONS, head), DEADLINE_S + 1)

def unread_metrics(d):
    """128 /metrics answers at 10,000 rows that nobody reads: one text, shared."""
    hold(d, requests(d, hosts(11, 8), PER_ADDRESS_CONNECTIONS,
                     b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"), DEADLINE_S + 1)

def metrics_dropped(d):
    """/metrics asked and dropped at once, as fast as one client can, from 200 addresses,
    longer than the normal client waits: it is built once per change, not for each
    request."""
    sources, end = hosts(12, 200), time.monotonic() + NORMAL_CLIENT_S + 2
    for i in range(10000):
        if time.monotonic() > end:
            break
        with d.connect(sources[i % 200], 2) as s:
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")

def crowd_reopened(d):
    """256 addresses with 16 idle connections each, every one reopened once closed: all
    the places taken, and the normal client still served."""
    sources = hosts(13, 256)
    socks = {}

    def join(src):
        try:  # a busy machine's listen queue may hold a connect up a while
            s = d.connect(src, timeout=5)
            socks[s.fileno()] = s, src
        except OSError:
            pass
    try:
        for src in sources * PER_ADDRESS_CONNECTIONS:
            join(src)
        for _ in range(int((DEADLINE_S + 2) * 10)):  # a tenth of a second each
            poll = select.poll()
            for fd in socks:
                poll.register(fd, select.POLLIN)
            for fd, _ in poll.poll(100):
                s, src = socks.pop(fd)
                s.close()
                join(src)
    finally:
        for s, _ in socks.values():
            s.close()

def stale_reconnect(d):
    """After 2,100 overs one address opens its 8 streams with an old Last-Event-ID and
    reads nothing: what they missed is not built into a copy per stream."""
    probe, seen, data = d.stream("127.0.0.9"), None, b""
    while seen is None:
        data += probe.recv(1 << 16)
        seen = re.search(rb"\nid: (\S+)\n", data)
    probe.close()
    d.send([r for i in range(2100) for r in over(i, talker=b"T%d" % (i % 3))])
    hold(d, unread_streams(d, ["127.0.0.10"], PER_ADDRESS_STREAMS,
                           f"Last-Event-ID: {seen.group(1).decode()}\r\n"), 3)

def stalled_streams(d):
    """64 streams from 8 addresses read nothing while records keep coming: each is
    closed at its bound of unsent bytes, none keeps a copy of the state."""
    socks = unread_streams(d, [f"127.0.1.{i}" for i in range(1, 9)], PER_ADDRESS_STREAMS)
    d.send([r for i in range(3000) for r in over(i)])
    hold(d, socks, 2)

def talker_lists(d):
    """64 talkers at once, then thousands of overs with control-byte call signs: each
    event carries what changed, so the replay ring stays small."""
    d.send([beat()] + [over(i, talker=bytes([1, 2, 3, 4, 5, 6, 7, 8 + i]))[0] for i in range(64)])
    d.send([r for i in range(8000) for r in over(i, b"\x01\x02%06d" % i)])
    hold(d, [], 1)

def idle_crowd(sources, per_source, drip):
    """Connections that send nothing (or a byte a second) from each of `sources`; the
    normal client is served throughout, with few threads."""
    def attack(d):
        socks = [d.connect(src) for src in sources for _ in range(per_source)]
        threads = hold(d, socks, DEADLINE_S + 1, drip)
        assert threads <= THREAD_BOUND, f"{threads} threads"
    return attack

def forged_heartbeat(d):
    """A heartbeat whose up-time reaches before 1970 gives well-formed times."""
    for _ in range(50):  # sent again should the receive buffer still be full
        d.send([beat(seconds_up=0xFFFFFFFF, table=77)])
        time.sleep(0.2)
        server = json.loads(d.get("/api/v1/state", timeout=5)[2])["server"]
        if server["table_size"] == 77:
            break
    assert server["table_size"] == 77 and ISO_TIME.match(server["up_since"]), server

def answer(path, headers, expect):
    """One request, its (status, header lines, body) judged by `expect`."""
    def attack(d):
        got = d.get(path, "127.0.0.8", headers, head_only=path == "/events")
        assert expect(*got), got[:2]
    return attack

def once(headers, name):
    return sum(h.lower().startswith(name + ":") for h in headers) == 1

def head_answer(d):
    for path in ("/", "/api/v1/state", "/metrics", "/events"):
        status, headers, _ = d.get(path, "127.0.0.8", head_only=True, method="HEAD")
        assert status == 200 and once(headers, "accept-ranges"), (path, status, headers)

ATTACKS = [
    ("1,000 idle connections from 100 addresses",
     idle_crowd([f"127.0.2.{i}" for i in range(1, 101)], 10, drip=False)),
    ("seven addresses trickling at their cap",
     idle_crowd([f"127.0.3.{i}" for i in range(1, 8)], PER_ADDRESS_CONNECTIONS, drip=True)),
    ("120 slow connections from the normal client's address",
     idle_crowd(["127.0.0.1"], 120, drip=True)),
    ("slow drip", crowd("127.0.0.2", drip=True)),
    ("many connections from one address", crowd("127.0.0.3", drip=False)),
    ("event stream slots hogged, then one closed", stream_hogging),
    ("8 streams whose system takes all but whose page reads nothing", unread_small_streams),
    ("2,048 heads stuffed with empty fields, their body never sent", stuffed_heads),
    ("256 addresses x 16 idle connections, reopened when closed", crowd_reopened),
    ("75,200 rows, state asked 100 times", rows),
    ("one Cache-Control on /events", answer("/events", "", lambda status, headers, body:
        once(headers, "cache-control"))),
    ("multi-range request", answer("/", "Range: bytes=0-1,3-4\r\n", lambda status, headers, body:
        status == 200 and body.startswith(b"<!") and "multipart" not in str(headers))),
    ("one Accept-Ranges on HEAD", head_answer),
    # These at the full table of the 75,200 rows above.
    ("128 /metrics answers unread", unread_metrics),
    ("/metrics asked and dropped by 200 addresses", metrics_dropped),
    ("stale Last-Event-ID on 8 unread streams", stale_reconnect),
    ("64 stalled streams from 8 addresses", stalled_streams),
    ("64 talkers in every event", talker_lists),
    ("heartbeat from before 1970", forged_heartbeat),
]

def latin1_title(path):
    """A title that is not UTF-8: the state is served and a stream opens."""
    d = Dashboard(path, "--title", b"Caf\xe9")
    try:
        status, _, body = d.get("/api/v1/state", timeout=5)
        assert status == 200 and json.loads(body)["title"] == "Caf\u00e9", (status, body[:80])
        assert d.get("/events", timeout=2, head_only=True)[0] == 200
        time.sleep(0.3)
        assert d.proc.poll() is None, "stopped"
    finally:
        d.stop()

FIFO = f"/tmp/dashboard_hostile_{os.getpid()}.fifo"

def refused_at_start(*options):
    """Options that must stop the start at once with a reason, not hang or loop."""
    def start(path):
        os.mkfifo(FIFO)
        try:
            proc = subprocess.run([*LAUNCHER, path, "--http", "127.0.0.1:0", *options],
                                  capture_output=True, text=True, timeout=15 if LAUNCHER else 5)
        finally:
            os.unlink(FIFO)
        assert proc.returncode == 1 and proc.stderr.startswith("mirx_dashboard: "), proc
    return start

STARTS = [
    ("title that is not UTF-8", latin1_title),
    ("--forward to its own --listen", refused_at_start(
        "--listen", "127.0.0.1:39123", "--forward", "127.0.0.1:39123")),
    ("--forward to this machine's any-address at the --listen port", refused_at_start(
        "--listen", "127.0.0.1:39124", "--forward", "0.0.0.0:39124")),
    ("--state naming a FIFO", refused_at_start("--listen", "127.0.0.1:0", "--state", FIFO)),
]

def failure(run, *args):
    """What `run` raised, as a list to report beside its row's name."""
    try:
        run(*args)
        return []
    except Exception as e:  # reported with its row; the others still run
        return [repr(e)]

def report(name, errors, note=""):
    print(f"{'FAIL' if errors else 'ok  '} {name}{note}", *errors, sep="\n  ")
    return bool(errors)

def served(d, stop, failures):
    """The normal client: the state every 0.2 s until `stop`."""
    for _ in range(1000):
        if stop.wait(0.2):
            return
        try:
            status, _, body = d.get("/api/v1/state", timeout=NORMAL_CLIENT_S)
            if status != 200 or not body.endswith(b"}"):
                failures.append(status)
        except OSError as e:
            failures.append(repr(e))

def main():
    # Room for the crowds: a thousand sockets and more.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    failed = 0
    for name, start in filter(lambda row: ROWS.search(row[0]), STARTS):
        failed += report(name, failure(start, sys.argv[1]))
    d = Dashboard(sys.argv[1], "--request-deadline", str(DEADLINE_S))
    try:
        for name, attack in filter(lambda row: ROWS.search(row[0]), ATTACKS):
            stop, unserved = threading.Event(), []
            normal = threading.Thread(target=served, args=(d, stop, unserved))
            normal.start()
            errors = failure(attack, d)
            stop.set()
            normal.join()
            rss = d.rss_mb()
            errors += [f"normal client not served: {unserved[:3]}"] if unserved else []
            errors += [f"RSS {rss:.0f} MB"] if rss >= RSS_BOUND_MB else []
            failed += report(name, errors, f" (RSS {rss:.0f} MB)")
    finally:
        d.stop()
    return 1 if failed else 0

if __name__ == "__main__":
    sys.exit(main())
