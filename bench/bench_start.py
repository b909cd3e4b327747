#!/usr/bin/env python3
"""Start-up cost of the embedded interpreter.

    bench/bench_start.py [--build build/linux] [--runs 30]

Times xlAutoOpen, from its first log line to "xlAutoOpen: complete", in a fresh
process per run, laid out as installed: the add-in, the package `tindral_xl`
and the example modules in `modules/` beside it, and a Python home whose
standard library is the compiled zip. On the same machine it times, as whole
processes from the same prefix, `python3.12 -S -E -c "import tindral_xl"`
(what the add-in cannot do for less) and a bare `python3.12 -S -E -c pass`.
Prints the medians, interleaved run by run, and their ratios. A benchmark, not
a test: it asserts nothing, but it refuses to print figures when the add-in
did not import the package and every example module.
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
        package = os.path.join(ROOT, "python", "tindral_xl")
        shutil.copytree(package, os.path.join(addin_dir, "tindral_xl"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        examples = os.path.join(ROOT, "examples", "modules")
        shutil.copytree(examples, os.path.join(addin_dir, "modules"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        env = dict(os.environ, TMPDIR=work, XDG_CONFIG_HOME=work)
        python = os.path.join(prefix, "bin", "python3.12")
        # The import runs from a copy of the package too, so both sides read
        # the same files and write their bytecode caches on the first run.
        import_dir = os.path.join(work, "import")
        shutil.copytree(package, os.path.join(import_dir, "tindral_xl"),
                        ignore=shutil.ignore_patterns("__pycache__"))

        def whole_process_us(argv, cwd=None):
            t = time.perf_counter_ns()
            subprocess.run(argv, cwd=cwd, check=True)
            return (time.perf_counter_ns() - t) // 1000

        def open_us():
            r = subprocess.run([timer, os.path.join(addin_dir, "TindralXL.so")], env=env,
                               capture_output=True, text=True, check=True)
            return int(r.stdout.split()[1])

        # One untimed round writes the bytecode caches both sides then read.
        open_us()
        whole_process_us([python, "-S", "-E", "-c", "import tindral_xl"], cwd=import_dir)
        with open(os.path.join(work, "tindralxl.log"), encoding="utf-8") as f:
            log = f.read()
        if "xlAutoOpen: complete" not in log or "Python initialized" not in log:
            sys.exit("bench_start: the add-in did not start Python:\n" + log)
        wanted = sorted(n[:-3] for n in os.listdir(examples) if n.endswith(".py"))
        missing = [m for m in wanted if "Importing module: %s\n" % m not in log]
        # Line starts, not words: the package registers a function named
        # TINDRAL.ERROR, and its line is no error.
        troubles = [l for l in log.splitlines() if l.startswith(("WARNING", "ERROR", "Failed"))]
        if troubles or missing:
            sys.exit("bench_start: the add-in did not load the package and every example module "
                     "(missing: %s):\n%s" % (", ".join(missing) or "none", log))

        opens, imports, bare = [], [], []
        timings = [
            lambda: opens.append(open_us()),
            lambda: imports.append(whole_process_us([python, "-S", "-E", "-c", "import tindral_xl"], cwd=import_dir)),
            lambda: bare.append(whole_process_us([python, "-S", "-E", "-c", "pass"])),
        ]
        # The order turns run by run: a process started just after another
        # ended pays for some of its teardown, and no side should always be
        # the one that does.
        for run in range(args.runs):
            for k in range(len(timings)):
                timings[(run + k) % len(timings)]()

        a, i, b = median_ms(opens), median_ms(imports), median_ms(bare)
        print("xlAutoOpen with the package and %d example modules, first line to complete "
              "(median of %d): %.1f ms" % (len(wanted), args.runs, a))
        print("%s -S -E -c \"import tindral_xl\", whole process (median of %d): %.1f ms" % (python, args.runs, i))
        print("%s -S -E -c pass, whole process (median of %d): %.1f ms" % (python, args.runs, b))
        print("xlAutoOpen / import tindral_xl: %.2f" % (a / i))
        print("import tindral_xl - bare interpreter: %.1f ms" % (i - b))
        print("xlAutoOpen / bare interpreter: %.2f" % (a / b))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
