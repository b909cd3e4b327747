#!/usr/bin/env python3
"""A big /exec body against the floor: the add-in in xllhost and
bench/floor_server.c (a single-threaded epoll server that only reads each
request whole and answers), both on loopback, both on one keep-alive
connection from this client.

    bench/bench_exec_body.py [--build build/release] [--runs 100] [--size 1048576]

* POST /exec with a body of --size bytes, {"op":"ping","pad":"xx..."} (the
  request answers at once, so what is timed is reading the body, handing it
  to Python and parsing it), against the floor server reading the same
  request; medians of interleaved runs, and their ratio;
* the same with a pad that has an escape every 64 characters (a newline, as
  code sent in JSON has): the add-in's reader reads such a body in a copy of
  it, where one with no backslash is read in place;
* the same with a body that is not JSON from its first byte: the add-in's
  reader gives up at once and hands the text to Python, whose parser gives
  up at once too, so what is timed is the transport, the hand-over and the
  body made into a str (a body the add-in reads is never made into one);
* GET /ping against the floor server answering the same small request;
* the socket reads (recvfrom and recvmsg) the add-in's process makes per MiB
  of body, counted by `strace -f -c` attached to it while a few requests run
  (skipped, and said so, when strace is missing or may not attach).

The client is this Python process: its own cost is in both sides of each
ratio. A benchmark, not a test: it asserts nothing.
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import live_addin

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build_floor(work):
    out = os.path.join(work, "floor_server")
    subprocess.run(["gcc", "-O2", "-Wall", "-Wextra", "-Werror", "-o", out,
                    os.path.join(ROOT, "bench", "floor_server.c")], check=True)
    return out


class Client:
    """One keep-alive connection; round trips timed from the send of the
    request's first byte to the last byte of its answer."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)

    def round_trip(self, request):
        """(status, answer body, microseconds)."""
        start = time.perf_counter()
        self.sock.sendall(request)
        data = b""
        need = None
        while need is None or len(data) < need:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise RuntimeError("the server closed the connection")
            data += chunk
            if need is None and b"\r\n\r\n" in data:
                head, _, _ = data.partition(b"\r\n\r\n")
                length = re.search(rb"(?i)content-length:\s*(\d+)", head)
                need = len(head) + 4 + (int(length.group(1)) if length else 0)
        took = (time.perf_counter() - start) * 1e6
        head, _, body = data.partition(b"\r\n\r\n")
        return int(head.split(b" ", 2)[1]), body, took

    def close(self):
        self.sock.close()


def exec_request(token, size, parsed=True, escaped=False):
    """A POST /exec of exactly `size` bytes of body: an op that answers at
    once, padded with a string field (`escaped`: with a newline, two bytes in
    JSON, after every 63 characters); or, not `parsed`, a body that is not
    JSON from its first byte on (both JSON readers give up at once)."""
    shell = json.dumps({"op": "ping", "pad": ""})
    room = max(0, size - len(shell))
    pad = "x" * room
    if escaped:
        pad = ("x" * 63 + "\n") * (room // 65) + "x" * (room % 65)
    body = json.dumps({"op": "ping", "pad": pad}).encode()
    if not parsed:
        body = b"x" * len(body)
    head = ("POST /exec HTTP/1.1\r\nHost: bench\r\nAuthorization: Bearer %s\r\nContent-Type: application/json\r\n"
            "Content-Length: %d\r\n\r\n" % (token, len(body))).encode()
    return head + body


PING = b"GET /ping HTTP/1.1\r\nHost: bench\r\n\r\n"


def interleaved(cases, runs):
    """Runs each (name, client, request) in turn `runs` times; the median
    microseconds of each name."""
    times = {name: [] for name, _, _ in cases}
    for _ in range(3):  # warm-up
        for _, client, request in cases:
            client.round_trip(request)
    for _ in range(runs):
        for name, client, request in cases:
            status, body, took = client.round_trip(request)
            if status != 200:
                sys.exit("%s answered %d: %s" % (name, status, body[:200]))
            times[name].append(took)
    return {name: statistics.median(t) for name, t in times.items()}


def count_reads(pid, client, request, size, count=8):
    """Socket reads per MiB of body in process `pid`, by strace -f -c; None
    with the reason when strace cannot do it."""
    strace = shutil.which("strace")
    if not strace:
        return None, "strace is not installed"
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
        tracer = subprocess.Popen([strace, "-f", "-c", "-e", "trace=recvfrom,recvmsg,read,epoll_wait",
                                   "-o", out.name, "-p", str(pid)], stderr=subprocess.PIPE)
        # strace says "Process N attached" (once per thread) on stderr.
        line = tracer.stderr.readline()
        if b"attached" not in line:
            tracer.kill()
            return None, "strace could not attach: %s" % line.decode(errors="replace").strip()
        time.sleep(0.5)  # every thread attached
        for _ in range(count):
            client.round_trip(request)
        tracer.send_signal(signal.SIGINT)
        tracer.communicate(timeout=30)
        calls = {}
        for row in out.read().splitlines():
            cols = row.split()
            if len(cols) >= 5 and cols[-1] in ("recvfrom", "recvmsg", "read", "epoll_wait"):
                calls[cols[-1]] = int(cols[3])
    mib = count * size / float(1 << 20)
    return {name: n / mib for name, n in calls.items()}, None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--size", type=int, default=1 << 20, help="body bytes")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="tindral-floor-")
    floor = None
    try:
        floor = subprocess.Popen([build_floor(work)], stdout=subprocess.PIPE)
        floor_port = int(floor.stdout.readline())
        session = {}
        with live_addin.running(args.build, "bench_exec_body", session) as (port, token):
            request = exec_request(token, args.size)
            addin, bottom = Client(port), Client(floor_port)
            status, body, _ = addin.round_trip(request)
            if status != 200 or not json.loads(body).get("ok"):
                sys.exit("the add-in did not answer the big request: %d %s" % (status, body[:200]))
            unparsed = exec_request(token, args.size, parsed=False)
            escaped = exec_request(token, args.size, escaped=True)
            big = interleaved([("exec", addin, request), ("floor", bottom, request), ("escaped", addin, escaped),
                               ("unparsed", addin, unparsed)], args.runs)
            small = interleaved([("ping", addin, PING), ("floor", bottom, PING)], args.runs * 25)
            print("POST /exec, %d-byte body: %.0f us; floor server, same request: %.0f us; ratio %.2f"
                  % (args.size, big["exec"], big["floor"], big["exec"] / big["floor"]))
            print("  with an escape every 64 characters, read in a copy: %.0f us; ratio %.2f"
                  % (big["escaped"], big["escaped"] / big["floor"]))
            print("  a body that is not JSON from its first byte, handed to Python as text: %.0f us; ratio %.2f"
                  % (big["unparsed"], big["unparsed"] / big["floor"]))
            print("GET /ping: %.1f us; floor server, same request: %.1f us; ratio %.2f"
                  % (small["ping"], small["floor"], small["ping"] / small["floor"]))
            reads, why = count_reads(session["pid"], addin, request, args.size)
            if reads is None:
                print("socket reads per MiB: not counted (%s)" % why)
            else:
                print("per MiB of body in the add-in's process (strace -f -c): %.1f recvfrom, %.1f recvmsg, "
                      "%.1f epoll_wait" % (reads.get("recvfrom", 0), reads.get("recvmsg", 0),
                                           reads.get("epoll_wait", 0)))
            addin.close()
            bottom.close()
    finally:
        if floor:
            floor.kill()
            floor.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
