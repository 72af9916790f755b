#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/: valid configuration files,
runs of valid datagrams in the dispatch fuzzer's input format, and slow-data
streams carrying position and text blocks. Run it again after changing the
input format of a fuzz target; the files it writes are kept in the repository.
"""

import os
import shutil

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def write(kind, name, data):
    path = os.path.join(CORPUS, kind)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


def call(text):
    return text.encode().ljust(8, b" ")[:8]


# Configuration files.

CONFIGS = {
    "full.cfg": b"# every key\nInPort=39999;\nOutPort=39998;\nLogPort=39997;\n"
    b"LogFileName=MirxServerLog;\nLogServer=127.0.0.1;\nDprsComPort=ttyS0;\n"
    b"DprsSW=ON;\nDprsBaudRate=9600;\n",
    "crlf_remarks.cfg": b"  InPort = 40000 ; inbound\r\nOutPor=40001;\r\n#LogServer=x;\r\n"
    b"LogPor=+12;\r\nDprsSW=OFF;\r\n",
    "faulty.cfg": b"\n   \n;\ninport=1;\n\tInPort=2;\nInPort 3;\nLogFileName=;\n"
    b"DprsBaudRate=-2147483649;\nInPortXYZ=77 apples;\n\x1aInPort=5;\n",
    "long_values.cfg": b"LogServer=" + b"a" * 200 + b";\nDprsComPort=/dev/ttyUSB0;\n"
    b"LogFileName=" + b"b" * 300 + b";\n",
}

# Dispatch runs: a mode byte (bit 0 debug, bit 1 info, bit 2 D-PRS, bit 3 log
# file), then per datagram a control byte (bits 0..2 sender, 3..4 failures,
# 5 failed receive, 6..7 batched sends), a length byte and the datagram.


def registration(call1, call2, req=b"RS"):
    return req + b"\x01\x02\x0a\x0b\x00\x00" + call(call1) + call(call2) + bytes(16)


def header(my_call):
    prefix = b"DSVT" + bytes(4) + b"\x10" + bytes(6)
    return prefix + bytes(3) + call("RPT2") + call("RPT1") + call("CQCQCQ") + call(my_call) + b"ID51" + b"\xab\xcd"


def voice(seq, slow=b"\x16\x29\xf5"):
    prefix = b"DSVT" + bytes(4) + b"\x20" + bytes(3) + bytes([0, seq]) + b"\x00"
    return prefix + bytes([0x9E, 0x8D, 0x32, 0x88, 0x26, 0x1A, 0x3F, 0x61, 0xE8]) + slow


def run(mode, datagrams):
    out = bytes([mode])
    for control, data in datagrams:
        out += bytes([control, len(data)]) + data
    return out


def conference():
    d = [(1, registration("N0AAA", "GW-A")), (2, registration("N0BBB", "GW-B")),
         (3, registration("N0CCC", "GW-C", b"SI")), (1, header("SPEAKER"))]
    d += [(1, voice(i)) for i in range(4)]
    d += [(4, registration("N0BBB", "GW-X")), (2, bytes(16)), (4, bytes(16))]
    return d


def hostile():
    return [(0, b""), (1, header("X") + b"!"), (2, bytes(64)), (3, registration("lower", "x", b"rs")),
            (1 | 0x20, voice(1)), (2 | 0x08, header("RETRY")), (2 | 0x10, voice(2)),
            (1, registration("A\x00BC", "z")), (2, registration("A\x00XY", "y"))]


def many_nodes():
    # More entries than one batch of sends holds, then voice packets sent in
    # partial batches, with and without failures.
    d = [(i % 8, registration("N%03d" % i, "GW")) for i in range(70)]
    d += [(mode << 6 | fail << 3 | 1, voice(mode * 4 + fail)) for mode in range(4) for fail in range(4)]
    return d


# Slow data: the sync pattern, then blocks as scrambled halves.


def scramble(block):
    pattern = b"\x70\x4f\x93\x70\x4f\x93"
    return bytes(b ^ p for b, p in zip(block, pattern))


def slow_stream(blocks):
    out = b"\x55\x2d\x16"
    for block in blocks:
        out += scramble(block)
    return out


def dashboard_records(title, mode, records):
    """The dashboard fuzzer's input: title, address mode, source, then each record
    as its length, seconds since the last and its bytes."""
    out = bytes([len(title)]) + title + bytes([mode, 0])
    for seconds, r in records:
        out += bytes([len(r), seconds]) + r
    return out


def dashboard_seeds():
    def rec(tag, c1=b"", c2=b"", tail=b"\0" * 8, mid=b"\0" * 4):
        return tag + mid + c1.ljust(8, b"\0") + c2.ljust(8, b"\0") + tail
    beat = b"HBT \0\0\0\0" + bytes([0, 0, 0, 2, 255, 255, 255, 255, 0, 0, 0, 1,
                                      0, 0, 0, 30, 0, 0, 11, 184]) + b"\0" * 4
    end = b"END \x01\0\x05\xdc"
    write("dashboard", "conference", dashboard_records(b"Caf\xe9", 2, [
        (0, rec(b"ADD ", b"N0AAA", b"GW", b"\x7f\0\0\x02\0\0\0\0")),
        (1, beat),
        (2, rec(b"ACC ", b"N0AAA", b"GW", b"SPEAKER1")),
        (3, end + b"N0AAA".ljust(8, b"\0") + b"GW".ljust(8, b"\0") + b"SPEAKER1"),
        (0x81, rec(b"DEL ", b"N0AAA")),
        (5, rec(b"RUN ", tail=b"\0" * 8)),
    ]))
    write("dashboard", "control_bytes", dashboard_records(b"\x01\xff", 1, [
        (0, rec(b"ADD ", b"\x01\x02\xff\\\"", b"\x7f", b"\x7f\0\0\x03\0\0\0\0")),
        (1, rec(b"ACC ", b"\x01\x02\xff\\\"", b"", b"\xc3\x28\xed\xa0\x80")),
        (1, b"junk"),
    ]))


def main():
    shutil.rmtree(CORPUS, ignore_errors=True)
    dashboard_seeds()
    for name, data in CONFIGS.items():
        write("config", name, data)
    write("dispatch", "conference", run(0, conference()))
    write("dispatch", "conference_debug_dprs_log", run(1 | 4 | 8, conference()))
    write("dispatch", "hostile_info", run(2 | 8, hostile()))
    write("dispatch", "many_nodes_log", run(8, many_nodes()))
    gps = b"$GPGGA,092750.000,5321.6802,N,00630.3372,W,1,8,1.03,61.7,M,55.2,M,,*76\r\n"
    blocks = [bytes([0x35]) + gps[i:i + 5] for i in range(0, len(gps) - 5, 5)]
    write("slow_data", "position", bytes([0]) + slow_stream(blocks))
    text = b"Conference heard you"
    write("slow_data", "text_then_sync", bytes([1]) + slow_stream(
        [bytes([0x40 | i]) + text[i * 5:i * 5 + 5] for i in range(4)]) + b"\x55\x2d\x16")
    write("slow_data", "counts", bytes([0]) + slow_stream(
        [bytes([0x30 | n]) + b"12345" for n in (0, 1, 5, 6, 15)]))


if __name__ == "__main__":
    main()
