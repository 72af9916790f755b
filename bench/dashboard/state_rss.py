#!/usr/bin/env python3
"""The dashboard's resident size under repeated /api/v1/state requests.

Starts each given mirx_dashboard binary on free loopback ports, registers
--rows nodes of distinct call signs, then asks for the state --requests
times (--clients at once) and prints the resident size (VmRSS) before the
rows, after them and after the requests, with the time per request.

  state_rss.py [--rows 10000] [--requests 100] [--clients 1] BINARY [LABEL=BINARY ...]
"""

import argparse
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tests", "e2e"))
from dashboard_hostile_test import Dashboard, flood  # noqa: E402


def run(label, path, args):
    d = Dashboard(path)
    try:
        empty = d.rss_mb()
        flood(d, args.rows)
        loaded = d.rss_mb()
        per_client = args.requests // args.clients
        size = [0]

        def ask():
            for _ in range(per_client):
                _, _, body = d.get("/api/v1/state", "127.0.0.7", timeout=60)
                size[0] = len(body)
        start = time.monotonic()
        clients = [threading.Thread(target=ask) for _ in range(args.clients)]
        for c in clients:
            c.start()
        for c in clients:
            c.join()
        took = (time.monotonic() - start) / (per_client * args.clients)
        print(f"{label:8} rows {args.rows:6}  state {size[0] / 1e6:5.2f} MB  RSS empty {empty:6.1f} MB"
              f"  loaded {loaded:6.1f} MB  after {per_client * args.clients} requests"
              f" {d.rss_mb():7.1f} MB  {took * 1000:6.1f} ms/request ({args.clients} at once)")
    finally:
        d.stop()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rows", type=int, default=10000)
    p.add_argument("--requests", type=int, default=100)
    p.add_argument("--clients", type=int, default=1)
    p.add_argument("binaries", nargs="+")
    args = p.parse_args()
    for b in args.binaries:
        label, _, path = b.rpartition("=")
        run(label or "dashboard", path, args)


if __name__ == "__main__":
    main()
