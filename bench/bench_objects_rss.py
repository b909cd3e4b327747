#!/usr/bin/env python3
"""Objects in cells over many recalculations: does memory stay flat?

    bench/bench_objects_rss.py [--build build/linux] [--recalcs 10000] [--payload 10000]

Opens the add-in in xllhost with a module whose MAKE() returns a new object
holding `payload` bytes each time, enters =MAKE() into one cell `recalcs`
times (each entry is a recalculation of that cell, which releases the cell's
previous object) and reads the host's resident set size (VmRSS) after a
warm-up of 1,000 entries and after the rest. For comparison the same is done
with =PLAIN(), which returns a number (no object at all). A leak of every
object would grow the resident set by about recalcs x payload bytes; the
live objects the store and the module's weak references count are printed
too.

A benchmark, not a test: it asserts nothing.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import live_addin  # noqa: E402
WARM_UP = 1000

MODULE = r'''
import weakref

import tindral_xl
from tindral_xl import xl_function

_made = []


class Payload:
    def __init__(self, size):
        self.data = bytearray(size)


@xl_function(name="MAKE")
def make(size):
    p = Payload(int(size))
    _made.append(weakref.ref(p))
    del _made[:-100]  # the weak references themselves must not grow
    return p


@xl_function(name="PLAIN")
def plain(size):
    return float(size)


@xl_function(name="LIVE")
def live():
    return "store %d, alive of the last 100 made %d" % (
        len(tindral_xl.objects.list()), sum(1 for r in _made if r() is not None))
'''


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


class Host:
    def __init__(self, build, work):
        env = dict(os.environ, TMPDIR=work, XDG_CONFIG_HOME=work, HOME=work)
        self.proc = subprocess.Popen([os.path.join(build, "tools", "xllhost", "xllhost"),
                                      os.path.join(work, "TindralXL.so")],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        self.marks = 0

    def run(self, lines):
        """Sends the lines, then waits until the host has run them; returns its output."""
        self.marks += 1
        mark = "echo mark%d" % self.marks
        self.proc.stdin.write(("\n".join(lines + [mark]) + "\n").encode())
        self.proc.stdin.flush()
        out = []
        while True:
            line = self.proc.stdout.readline().decode()
            if not line:
                sys.exit("xllhost ended early:\n" + "".join(out[-20:]))
            if line.strip() == mark:
                return out
            out.append(line)

    def close(self):
        self.proc.stdin.write(b"close\n")
        self.proc.stdin.close()
        self.proc.wait(60)


def measure(build, work, function, recalcs, payload):
    host = Host(build, work)
    try:
        host.run(["open"])
        formula = "seed A1 f:=%s(%d)" % (function, payload)
        host.run([formula] * WARM_UP)
        warm = rss_kib(host.proc.pid)
        t0 = time.perf_counter()
        left = recalcs - WARM_UP
        while left > 0:
            batch = min(left, 1000)
            host.run([formula] * batch)
            left -= batch
        seconds = time.perf_counter() - t0
        end = rss_kib(host.proc.pid)
        shown = host.run(["seed B1 f:=LIVE()", "show B1"])
        live = [l.strip() for l in shown if l.startswith("show B1")]
    finally:
        host.close()
    return warm, end, seconds, live


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "linux"))
    parser.add_argument("--recalcs", type=int, default=10000)
    parser.add_argument("--payload", type=int, default=10000, help="bytes each object holds")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = live_addin.lay_out(build, "bench_objects_rss", {"payloads.py": MODULE})
    try:
        print("%d recalculations of one cell, each object holding %d bytes (a leak would add about %.0f MiB)"
              % (args.recalcs, args.payload, args.recalcs * args.payload / 2**20))
        for function, what in (("MAKE", "a new object each time"), ("PLAIN", "a number (no object)")):
            warm, end, seconds, live = measure(build, work, function, args.recalcs, args.payload)
            print("  =%s(): %s" % (function, what))
            print("    VmRSS after %d: %d KiB, after %d: %d KiB, growth %+d KiB; %.1f us per recalculation"
                  % (WARM_UP, warm, args.recalcs, end, end - warm,
                     seconds * 1e6 / max(1, args.recalcs - WARM_UP)))
            print("    %s" % (live[0] if live else "(LIVE not shown)"))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
