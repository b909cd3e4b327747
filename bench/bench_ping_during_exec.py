#!/usr/bin/env python3
"""/ping latency while an agent request runs.

    bench/bench_ping_during_exec.py [--build build/release] [--pings 2000]

Starts the add-in in xllhost and times /ping round trips on one kept-alive
connection three ways: with nothing else running, while an /exec sleeps
(Python's lock released), and while an /exec spins in Python (the lock held,
handed over only at the interpreter's switch interval). Each running request
ends at its own time limit. The server thread never takes Python's lock for
/ping, so the three should look alike. A benchmark, not a test: it asserts
nothing.
"""

import argparse
import http.client
import os
import threading
import time

import live_addin

SPIN_SECONDS = 4


def pings(port, token, n):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    out, failed = [], 0
    try:
        for _ in range(n):
            start = time.perf_counter()
            conn.request("GET", "/ping", headers={"Authorization": "Bearer " + token})
            reply = conn.getresponse()
            reply.read()
            out.append((time.perf_counter() - start) * 1e6)
            failed += reply.status != 200
    finally:
        conn.close()
    return out, failed


def report(name, samples, failed):
    print("  %-34s p50 %6.0f us  p99 %6.0f us  max %6.0f us  (%d pings, %d not 200)"
          % (name, live_addin.pct(samples, 50), live_addin.pct(samples, 99), max(samples), len(samples), failed))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(live_addin.ROOT, "build", "release"))
    parser.add_argument("--pings", type=int, default=2000)
    args = parser.parse_args()
    with live_addin.running(args.build, "bench_ping_during_exec") as (port, token):
        pings(port, token, 200)  # warm up the connection path
        print("/ping round trips from one client connection")
        report("nothing else running", *pings(port, token, args.pings))
        for label, code in (("an /exec sleeping", "import time\ntime.sleep(%d)" % (SPIN_SECONDS + 1)),
                            ("an /exec spinning in Python", "while True:\n    pass")):
            answer = {}
            body = {"op": "exec", "code": code, "timeout": SPIN_SECONDS}
            runner = threading.Thread(target=lambda: answer.update(a=live_addin.post(port, token, body)[0]))
            runner.start()
            time.sleep(0.3)
            report("during " + label, *pings(port, token, args.pings))
            runner.join()
            if answer.get("a", {}).get("kind") != "timeout":
                print("    (the running request did not end at its time limit: %s)" % answer.get("a"))


if __name__ == "__main__":
    main()
