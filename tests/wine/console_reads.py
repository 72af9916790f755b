#!/usr/bin/env python3
"""Reads a program's console from a FIFO as soon as anything arrives, copies
it to a file, and counts the reads that end inside a line.

    console_reads.py FIFO COPY STATS

A program that writes each console line in one call is never caught in the
middle of a line; one that writes a byte at a time is, many times over.
STATS receives "reads N broken M" when the writer closes its end.
"""
import os
import sys

fifo, copy, stats = sys.argv[1:4]
reads = broken = 0
with open(copy, "wb", buffering=0) as out:
    fd = os.open(fifo, os.O_RDONLY)
    while True:
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        reads += 1
        if not chunk.endswith(b"\n"):
            broken += 1
        out.write(chunk)
with open(stats, "w") as f:
    f.write("reads %d broken %d\n" % (reads, broken))
