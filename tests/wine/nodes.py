#!/usr/bin/env python3
"""Nodes, log server and serial device for the Wine smoke test of mirx_server.exe.

Run by smoke.sh with the test's work directory. Picks free loopback ports,
writes the server's configuration file, maps a pseudo-terminal into the Wine
prefix as a serial port, then (once the server answers) plays two nodes:
registration, a header with voice packets carrying D-PRS data, a datagram too
long to handle, a disconnect and a header nobody receives. Checks every byte
that comes back and prints the figures of the run. Exits 0 when all checks
pass. Every wait is bounded.
"""

import os
import pty
import select
import socket
import sys
import time
import tty

SERVER = "127.0.0.1"
NODE_A, NODE_B, LOG_SERVER = "127.0.0.2", "127.0.0.3", "127.0.0.4"
CALL_A, CALL_B = b"JA1AAA A", b"JA1BBB B"
SPEAKER = b"JA1AAA  "  # my_call of the headers node A sends
COM_PORT = "com42"
MISSING_PORT = "com43"
SCRAMBLE = bytes([0x70, 0x4F, 0x93])
SYNC = bytes([0x55, 0x2D, 0x16])
POSITION_TEXT = b"$GPGGA,123"  # two position blocks of five bytes
VOICE_COUNT = 20
WAIT = 3.0  # seconds for any expected datagram

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return ok


def udp(host, port=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((host, port))
    return s


def node_pair():
    """Two node sockets on the same free port (the server's OutPort)."""
    for _ in range(20):
        a = udp(NODE_A)
        port = a.getsockname()[1]
        try:
            return a, udp(NODE_B, port), port
        except OSError:
            a.close()
    raise SystemExit("no free port for both nodes")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("", 0))
        return s.getsockname()[1]


def receive(sock, timeout=WAIT):
    sock.settimeout(timeout)
    try:
        return sock.recvfrom(100)
    except socket.timeout:
        return None, None


def nothing_more(sock, who, quiet=0.3):
    data, _ = receive(sock, quiet)
    check(data is None, "%s received an unexpected %s-byte datagram" % (who, len(data or b"")))


def registration(req_id, call1, call2):
    return req_id + b"\x01\x02\x03\x04\x00\x00" + call1 + call2 + bytes(16)


def header(serial):
    h = bytearray(56)
    h[8] = 0x10
    h[12:14] = serial.to_bytes(2, "big")
    h[18:26] = b"DIRECT  "
    h[26:34] = b"DIRECT  "
    h[34:42] = b"CQCQCQ  "
    h[42:50] = SPEAKER
    h[50:54] = b"ID51"
    return bytes(h)


def scrambled(half):
    return bytes(b ^ p for b, p in zip(half, SCRAMBLE))


def slow_data_frames():
    """Sync, two position blocks, then blocks of another type."""
    blocks = [bytes([0x35]) + POSITION_TEXT[:5], bytes([0x35]) + POSITION_TEXT[5:]]
    blocks += [bytes([0x66]) + b"fffff"] * ((VOICE_COUNT - 1 - 4) // 2 + 1)
    frames = [SYNC]
    for b in blocks:
        frames += [scrambled(b[:3]), scrambled(b[3:])]
    return frames[:VOICE_COUNT]


def voice(i, slow):
    v = bytearray(27)
    v[8] = 0x20
    v[12:14] = i.to_bytes(2, "big")
    v[15:24] = bytes([i] * 9)
    v[24:27] = slow
    return bytes(v)


def check_ack(sock, delivered, node_call):
    """The twelve datagrams that answer a header; returns how many came."""
    got = []
    for _ in range(12):
        data, _ = receive(sock)
        if data is None:
            break
        got.append(data)
    sizes = [len(d) for d in got]
    check(sizes == [56] + [27] * 11, "acknowledgement sizes %s, want 1x56 + 11x27" % sizes)
    if got and len(got[0]) == 56:
        h = got[0]
        check(h[15] == (0x00 if delivered else 0x01), "acknowledgement flag1 %#x" % h[15])
        check(h[34:42] == SPEAKER, "acknowledgement your_call %r" % h[34:42])
        check(h[42:50] == node_call and h[18:26] == node_call and h[26:34] == node_call,
              "acknowledgement repeater/originator call signs %r" % h[18:50])
    return len(got)


def check_records(log, wanted):
    for tag, call1 in wanted:
        data, _ = receive(log)
        ok = data is not None and len(data) == 32 and data[0:4] == tag
        if check(ok, "log-server record %r, got %r" % (tag, data)) and call1:
            check(data[8:16] == call1, "%r record names %r" % (tag, data[8:16]))


def open_serial_device(prefix):
    """A pseudo-terminal that the Wine prefix knows as COM_PORT."""
    master, slave = pty.openpty()
    tty.setraw(master)
    link = os.path.join(prefix, "dosdevices", COM_PORT)
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.ttyname(slave), link)
    return master, slave


def read_serial(master, want, timeout=WAIT):
    got, end = b"", time.monotonic() + timeout
    while len(got) < want and time.monotonic() < end:
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            got += os.read(master, 64)
    return got


def wait_for_file(path, timeout):
    end = time.monotonic() + timeout
    while not os.path.exists(path) and time.monotonic() < end:
        time.sleep(0.05)
    return os.path.exists(path)


def register_when_up(a, in_port, launched_file, timeout=20.0):
    """Repeats A's registration until the server answers; returns the reply
    and the start-up time (from launch to the first answer)."""
    if not wait_for_file(launched_file, 10.0):
        raise SystemExit("server was not launched")
    request = registration(b"RS", CALL_A, b"JA1AAA  ")
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        a.sendto(request, (SERVER, in_port))
        data, source = receive(a, 0.05)
        if data is not None:
            launched = float(open(launched_file).read())
            return data, source, request, time.time() - launched
    raise SystemExit("no registration reply within %.0f s on InPort %d (was the configuration "
                     "file read?)" % (timeout, in_port))


def drain(sock):
    """Drops repeated registration replies still on their way."""
    while receive(sock, 0.3)[0] is not None:
        pass


def play(work, prefix):
    a, b, out_port = node_pair()
    log = udp(LOG_SERVER)
    in_port = free_port()
    master, slave = open_serial_device(prefix)
    with open(os.path.join(work, "mirx.cfg"), "w") as cfg:
        cfg.write("# written by the Wine smoke test\n")
        cfg.write("InPort=%d;\nOutPort=%d;\n" % (in_port, out_port))
        cfg.write("LogServer=%s;\nLogPort=%d;\n" % (LOG_SERVER, log.getsockname()[1]))
        cfg.write("LogFileName=mirx.log;\n")
        cfg.write("DprsSW=ON;\nDprsComPort=%s;\nDprsBaudRate=4800;\n" % COM_PORT)
    # A second instance: its port is taken and its serial port is missing.
    # (Wine does not refuse a second open of a serial device, as Windows
    # would, so the taken COM_PORT cannot serve here.)
    with open(os.path.join(work, "second.cfg"), "w") as cfg:
        cfg.write("InPort=%d;\nOutPort=%d;\nLogFileName=;\n" % (in_port, out_port))
        cfg.write("DprsSW=ON;\nDprsComPort=%s;\n" % MISSING_PORT)
    open(os.path.join(work, "nodes.ready"), "w").close()

    reply, source, request, startup = register_when_up(a, in_port, os.path.join(work, "launched"))
    check(reply == b"SA" + request[2:16], "registration reply %r" % reply)
    check(source[1] != in_port, "replies must leave from out_socket, not InPort")
    drain(a)
    request_b = registration(b"SI", CALL_B, b"JA1BBB  ")
    b.sendto(request_b, (SERVER, in_port))
    reply, _ = receive(b)
    check(reply == b"SA" + request_b[2:16], "registration reply to B %r" % reply)
    check_records(log, [(b"ADD ", CALL_A), (b"ADD ", CALL_B)])

    # Longer than any datagram the server handles: dropped, never taken for
    # a header (B would get its first 56 bytes and A an acknowledgement).
    a.sendto(header(1) + b"X", (SERVER, in_port))
    first = header(2)
    a.sendto(first, (SERVER, in_port))
    relayed, _ = receive(b)
    check(relayed == first, "B got %r instead of the header" % relayed)
    acks = check_ack(a, True, CALL_A)
    check_records(log, [(b"ACC ", CALL_A)])

    frames = slow_data_frames()
    voices = [voice(i, frames[i]) for i in range(VOICE_COUNT)]
    for v in voices:
        a.sendto(v, (SERVER, in_port))
    got = []
    for _ in voices:
        data, _ = receive(b)
        if data is None:
            break
        got.append(data)
    check(got == voices, "B got %d of %d voice packets intact" % (
        sum(1 for x, y in zip(got, voices) if x == y), len(voices)))
    serial = read_serial(master, len(POSITION_TEXT))
    check(serial == POSITION_TEXT, "serial port got %r, want %r" % (serial, POSITION_TEXT))
    nothing_more(a, "the speaker")

    b.sendto(bytes(16), (SERVER, in_port))  # B leaves
    check_records(log, [(b"DEL ", CALL_B)])
    a.sendto(header(3), (SERVER, in_port))
    acks += check_ack(a, False, CALL_A)
    nothing_more(b, "the removed node")

    relayed_count = (1 if relayed == first else 0) + sum(1 for x, y in zip(got, voices) if x == y)
    print("start-up under Wine: %.2f s (launch to first registration reply)" % startup)
    print("relayed: %d datagrams (1 header + %d voice packets), acknowledgement datagrams: %d, "
          "D-PRS bytes on %s: %d" % (relayed_count, len(got), acks, COM_PORT, len(serial)),
          flush=True)
    return master, slave


def main():
    work, prefix = sys.argv[1], os.environ["WINEPREFIX"]
    try:
        master, slave = play(work, prefix)
    finally:
        open(os.path.join(work, "nodes.done"), "w").close()
    # Keep the terminal open until the server has stopped: a hang-up on it
    # would reach Wine's server process, not ours.
    wait_for_file(os.path.join(work, "stopped"), 60.0)
    os.close(master)
    os.close(slave)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
