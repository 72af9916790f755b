#!/usr/bin/env python3
"""The dashboard's resident size and answer time against stalled event streams and idle
connections, for one or more binaries (LABEL=BINARY, e.g. before=OLD after=NEW).

Each binary is started on free loopback ports with 10,000 node rows; then, for each line of
the table, event streams that read nothing and connections that send nothing are opened (or
one of three other loads: 128 /metrics requests whose answers nobody reads, from 8
addresses; 2,048 heads of 2,000 empty fields whose body never comes, from 128 addresses;
256 addresses with 16 idle connections each),
2,000 overs (4,000 records) are sent, and meanwhile a client asks for /api/v1/state every
0.2 s. Printed: the peak resident size, the threads, and the client's answer times (median
and slowest; "refused" counts answers that were not 200 or did not come within 5 s).
The last column compares each binary's peak with the first binary's.

  stall_rss.py before=/path/to/old/mirx_dashboard after=build/tools/dashboard/mirx_dashboard
"""

import os
import statistics
import sys
import threading
import time
import resource

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))
from dashboard_hostile_test import Dashboard, flood, hosts, over, requests  # noqa: E402

# (stalled streams, idle connections, other load): streams 8 per address, connections 10 per
# address.
METRICS = b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"
STUFFED = b"GET / HTTP/1.1\r\n" + b"a:\r\n" * 2000 + b"Content-Length: 100\r\n\r\n"
OTHER = {
    "": lambda d: [],
    "unread /metrics x128": lambda d: requests(d, hosts(11, 8), 16, METRICS),
    "stuffed heads x2048": lambda d: requests(d, hosts(10, 128), 16, STUFFED),
    "256 x 16 idle": lambda d: [d.connect(src, 2) for src in hosts(13, 256) for _ in range(16)],
}
LINES = [(0, 0, ""), (8, 0, ""), (64, 0, ""), (0, 100, ""), (0, 1000, ""), (64, 1000, ""),
         (0, 0, "unread /metrics x128"), (0, 0, "stuffed heads x2048"), (0, 0, "256 x 16 idle")]


def open_load(d, streams, idle, other):
    socks = OTHER[other](d)
    for i in range(streams):
        s = d.connect(f"127.0.5.{i // 8 + 1}", 2)
        s.setsockopt(__import__("socket").SOL_SOCKET, __import__("socket").SO_RCVBUF, 4096)
        s.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
        socks.append(s)
    for i in range(idle):
        try:
            socks.append(d.connect(f"127.0.6.{i // 10 + 1}", 2))
        except OSError:
            break
    return socks


def measure(d, streams, idle, other):
    socks = open_load(d, streams, idle, other)
    times, refused, peak, threads, stop = [], [0], [0.0], [0], threading.Event()

    def client():
        while not stop.wait(0.2):
            start = time.monotonic()
            try:
                ok = d.get("/api/v1/state", timeout=5)[0] == 200
            except OSError:
                ok = False
            if ok:
                times.append(time.monotonic() - start)
            else:
                refused[0] += 1

    def watch():
        while not stop.wait(0.05):
            peak[0] = max(peak[0], d.rss_mb())
            threads[0] = max(threads[0], d.status("Threads"))
    workers = [threading.Thread(target=client), threading.Thread(target=watch)]
    for w in workers:
        w.start()
    d.send([r for i in range(2000) for r in over(i)])
    time.sleep(2)
    stop.set()
    for w in workers:
        w.join()
    for s in socks:
        s.close()
    time.sleep(1)  # the closed connections let go
    med = statistics.median(times) * 1000 if times else float("nan")
    worst = max(times) * 1000 if times else float("nan")
    return peak[0], threads[0], med, worst, refused[0]


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    first = {}
    print(f"{'binary':8} {'stalled':>7} {'idle':>5} {'peak RSS':>9} {'threads':>7} "
          f"{'answer median':>13} {'slowest':>8} {'refused':>7} {'RSS vs first':>12} other")
    for arg in sys.argv[1:]:
        label, _, path = arg.rpartition("=")
        d = Dashboard(path)
        try:
            flood(d, 10000)
            for streams, idle, other in LINES:
                peak, threads, med, worst, refused = measure(d, streams, idle, other)
                base = first.setdefault((streams, idle, other), peak)
                print(f"{label or 'dashboard':8} {streams:7} {idle:5} {peak:6.1f} MB {threads:7} "
                      f"{med:10.1f} ms {worst:5.0f} ms {refused:7} {peak / base:11.2f}x {other}",
                      flush=True)
        finally:
            d.stop()


if __name__ == "__main__":
    main()
