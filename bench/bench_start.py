#!/usr/bin/env python3
"""Start-up cost of the embedded interpreter.

    bench/bench_start.py [--build build/linux] [--runs 30]

Times xlAutoOpen, from its first log line to "xlAutoOpen: complete", in a fresh
process per run, with the add-in beside a Python home whose standard library
is the compiled zip; and, on the same machine, a bare `python3.12 -S -E -c
pass` from the same prefix. Prints the medians and their ratio. A benchmark,
not a test: it asserts nothing.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def median_ms(samples_us):
    return statistics.median(samples_us) / 1000.0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "linux"))
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)

    addin_so = os.path.join(args.build, "TindralXL.so")
    if not os.path.exists(addin_so):
        sys.exit("bench_start: no %s; build first (cmake --preset linux && cmake --build --preset linux)" % addin_so)

    work = tempfile.mkdtemp(prefix="tindral-bench-")
    try:
        home = os.path.join(args.build, "python-home")
        out = subprocess.run([os.path.join(ROOT, "scripts", "make_python_home.py"), "--out", home],
                             capture_output=True, text=True)
        if out.returncode != 0:
            sys.exit(out.stderr.strip())
        prefix = out.stdout.rsplit("(from ", 1)[1].rstrip(")\n")

        timer = os.path.join(work, "open_timer")
        subprocess.run(["gcc", "-O2", "-rdynamic", "-o", timer, os.path.join(ROOT, "bench", "open_timer.c"), "-ldl"],
                       check=True)
        addin_dir = os.path.join(work, "addin")
        os.makedirs(addin_dir)
        shutil.copy2(addin_so, addin_dir)
        os.symlink(home, os.path.join(addin_dir, "python"))
        env = dict(os.environ, TMPDIR=work, XDG_CONFIG_HOME=work)

        opens = []
        for _ in range(args.runs):
            r = subprocess.run([timer, os.path.join(addin_dir, "TindralXL.so")], env=env,
                               capture_output=True, text=True, check=True)
            rc, us = r.stdout.split()
            opens.append(int(us))
        with open(os.path.join(work, "tindralxl.log"), encoding="utf-8") as f:
            log = f.read()
        if "xlAutoOpen: complete" not in log or "Python initialized" not in log:
            sys.exit("bench_start: the add-in did not start Python:\n" + log)

        python = os.path.join(prefix, "bin", "python3.12")
        bare = []
        for _ in range(args.runs):
            t = time.perf_counter_ns()
            subprocess.run([python, "-S", "-E", "-c", "pass"], check=True)
            bare.append((time.perf_counter_ns() - t) // 1000)

        a, b = median_ms(opens), median_ms(bare)
        print("xlAutoOpen, first line to complete (median of %d): %.1f ms" % (args.runs, a))
        print("bare %s -S -E -c pass, whole process (median of %d): %.1f ms" % (python, args.runs, b))
        print("ratio: %.2f" % (a / b))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
