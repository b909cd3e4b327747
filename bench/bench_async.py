#!/usr/bin/env python3
"""Asynchronous worksheet functions: many calls waiting at once.

    bench/bench_async.py [--build build/linux] [--calls 100] [--wait 0.5] [--runs 5]

Runs the add-in in xllhost with a module whose ``async def`` awaits
``asyncio.sleep(WAIT)``, then, after one call that loads asyncio and starts
the event loop, makes CALLS asynchronous calls in a row and waits for every
value (the end of the calculation). Prints, per run, the wall time from the
first call to the last value, and the time Excel's thread spent inside each
call (the host times the entry point). Sequential calls would take
CALLS x WAIT.

A benchmark, not a test: it asserts nothing.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import live_addin  # noqa: E402

MODULE = '''
import asyncio
from tindral_xl import xl_function

@xl_function(name="WAIT_THEN")
async def wait_then(x, seconds):
    await asyncio.sleep(seconds)
    return x
'''


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "linux"))
    parser.add_argument("--calls", type=int, default=100)
    parser.add_argument("--wait", type=float, default=0.5)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = live_addin.lay_out(build, "bench_async", {"waits.py": MODULE})
    try:
        script = ["open", "call WAIT_THEN n:0 n:0"]
        for _ in range(args.runs):
            script += ["asynctime", "stopwatch"]
            script += ["acall WAIT_THEN n:%d n:%r" % (i, args.wait) for i in range(args.calls)]
            script += ["settle", "stopwatch", "asynctime"]
        script.append("close")
        env = dict(os.environ, TMPDIR=work, XDG_CONFIG_HOME=work, HOME=work)
        out = subprocess.run([os.path.join(build, "tools", "xllhost", "xllhost"), os.path.join(work, "TindralXL.so")],
                             input="\n".join(script) + "\n", capture_output=True, text=True, env=env, timeout=600)
        if out.returncode != 0:
            sys.exit("bench_async: xllhost failed:\n%s" % out.stderr)
        lines = out.stdout.splitlines()
        stopwatch = [float(l.split()[1]) for l in lines if l.startswith("stopwatch ")]
        times = [(int(l.split()[1]), float(l.split()[2])) for l in lines if l.startswith("asynctime ")]
        walls, per_call = [], []
        for run in range(args.runs):
            walls.append(stopwatch[2 * run + 1] / 1e6)
            (c0, t0), (c1, t1) = times[2 * run], times[2 * run + 1]
            per_call.append((t1 - t0) / (c1 - c0))
        print("bench_async: %d concurrent calls awaiting %.2f s (sequential: %.0f s), %d runs"
              % (args.calls, args.wait, args.calls * args.wait, args.runs))
        for run in range(args.runs):
            print("  run %d: wall %.3f s, Excel's thread %.1f us per call" % (run + 1, walls[run], per_call[run]))
        print("  median: wall %.3f s, Excel's thread %.1f us per call"
              % (statistics.median(walls), statistics.median(per_call)))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
