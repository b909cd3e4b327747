#!/usr/bin/env python3
"""Cell access from an agent: tindral_xl.excel through the queue and xllhost.

    bench/bench_workbook.py [--build build/linux] [--rows 1000] [--cols 10] [--runs 20]

Starts the add-in in xllhost (idle, as an Excel nobody types into), then from
an agent's /exec:

* write and read of a rows x cols block of numbers: the time of the call in
  /exec and of the whole HTTP request around it, and the cost per cell;
* the queue's latency: sequential one-cell reads, each submitted while the
  tick is at its "as soon as Excel is ready" pace (right after another
  request); a one-cell read is submit, job start, two Excel calls and the
  wake of the waiter, so its round trip bounds the submit-to-start time from
  above;
* the first request after the tick went back to its one-second pace (cold),
  each after an idle time drawn at random (2.5 s plus up to 1 s, seeded), so
  the request lands at a random phase of the one-second tick: a fixed sleep
  lands at one phase and reports one point of the 0-1 s spread.

A benchmark, not a test: it asserts nothing.
"""

import argparse
import os
import random
import statistics
import sys
import time

import live_addin

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

AGENT_CODE = r'''
import time
from tindral_xl import excel
rows, cols, runs = %(rows)d, %(cols)d, %(runs)d
block = [[float(r * cols + c) for c in range(cols)] for r in range(rows)]
last = "A1:%%s%%d" %% (chr(ord("A") + cols - 1), rows)
excel.read("A1")
def timed(f):
    t = time.perf_counter()
    f()
    return (time.perf_counter() - t) * 1e6
writes = [timed(lambda: excel.write(last, block)) for _ in range(runs)]
reads = [timed(lambda: excel.read(last)) for _ in range(runs)]
assert excel.read(last) == block
single = [timed(lambda: excel.read("A1")) for _ in range(500)]
{"write_us": writes, "read_us": reads, "single_us": single}
'''


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "linux"))
    parser.add_argument("--rows", type=int, default=1000)
    parser.add_argument("--cols", type=int, default=10)
    parser.add_argument("--runs", type=int, default=20)
    parser.add_argument("--cold", type=int, default=12, help="first requests after a quiet spell")
    args = parser.parse_args()
    with live_addin.running(args.build, "bench_workbook") as (port, token):
        code = AGENT_CODE % {"rows": args.rows, "cols": args.cols, "runs": args.runs}
        answer, _ = live_addin.post(port, token, {"op": "exec", "code": code})
        if not answer.get("ok"):
            sys.exit("bench_workbook: %s" % answer)
        r = answer["result"]
        cells = args.rows * args.cols
        last = "A1:%s%d" % (chr(ord("A") + args.cols - 1), args.rows)

        # The same calls as whole /exec requests (HTTP, JSON, exec, queue, host).
        http_read, http_write = [], []
        for _ in range(args.runs):
            http_read.append(live_addin.post(port, token, {"op": "exec", "code": "excel.read(%r); None" % last})[1])
            http_write.append(live_addin.post(port, token, {"op": "exec", "code": "excel.write(%r, block)" % last})[1])

        # Cold: after the tick fell back to its one-second pace.
        cold = []
        rng = random.Random(26)
        for _ in range(args.cold):
            time.sleep(2.5 + rng.random())
            a, _ = live_addin.post(port, token, {"op": "eval", "expr": "timed(lambda: excel.read('A1'))"})
            cold.append(a["result"])

        print("cell access through the main-thread queue and xllhost (%d x %d = %d cells, %d runs)"
              % (args.rows, args.cols, cells, args.runs))
        for name, samples in (("write in /exec", r["write_us"]), ("read in /exec", r["read_us"]),
                              ("write, whole /exec request", http_write), ("read, whole /exec request", http_read)):
            med = statistics.median(samples)
            print("  %-28s median %8.2f ms  p95 %8.2f ms  per cell %6.3f us"
                  % (name, med / 1000, live_addin.pct(samples, 95) / 1000, med / cells))
        single = r["single_us"]
        print("  queue latency bound (one-cell read round trip, tick at ready pace, %d requests):" % len(single))
        print("      median %.3f ms  p95 %.3f ms  p99 %.3f ms  max %.3f ms"
              % (statistics.median(single) / 1000, live_addin.pct(single, 95) / 1000, live_addin.pct(single, 99) / 1000,
                 max(single) / 1000))
        print("  first request after a random 2.5-3.5 s idle (tick back at its 1 s pace), %d requests:" % len(cold))
        print("      median %.0f ms  mean %.0f ms  min %.0f ms  max %.0f ms"
              % (statistics.median(cold) / 1000, statistics.mean(cold) / 1000, min(cold) / 1000, max(cold) / 1000))


if __name__ == "__main__":
    main()
