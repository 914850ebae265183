#!/usr/bin/env python3
"""Offline figures through the real DLL under Wine: how long StopTallyscope takes against each
hostile server with N reports queued, and how long a later process takes to deliver a spool of
1000 reports once the server is back.

    WINEPREFIX=... TALLYSCOPE_BIN=build/mingw/bin python3 benchmarks/offline_bench.py [--runs R]

The DLL posts to the statistics host it was built for (TALLYSCOPE_STAT_HOST, default
127.0.0.1:18765); the servers are started on that port. Not a test: it prints figures only.
"""

import argparse
import os
import re
import sqlite3
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import spool_files  # noqa: E402
from blackhole_fixture import Blackhole  # noqa: E402
from collector_fixture import Collector  # noqa: E402
from wine_run import run_host  # noqa: E402

MODES = ("refuse", "backlog", "silent", "trickle")


def stop_ms(mode, port, key, count):
    spool_files.remove(key)
    with Blackhole(mode, port):
        run = run_host("set", key, "chan", "repeat", count, "click", "n", "timedstop", "return", timeout=300)
    match = re.search(r"host: stop took (\d+) ms", run.stdout)
    if run.returncode != 0 or not match:
        sys.exit("script_host failed against %s: %s" % (mode, run.stdout[-500:] + run.stderr[-500:]))
    return int(match.group(1))


def recovery(port, key, count):
    """Spools count reports against a refusing server, then times their delivery by a new process."""
    stop_ms("refuse", port, key, count)
    kept = len(spool_files.waiting_bodies(key))
    with Collector(port=port) as collector:
        started = time.time()
        run = run_host("set", key, "chan", "stop", "return", timeout=300)
        db = sqlite3.connect(collector.db_path)
        rows = db.execute("SELECT arrived FROM requests WHERE method = 'POST' AND instr(body, ?) > 0 ORDER BY seq",
                          (key.encode(),)).fetchall()
        db.close()
    spool_files.remove(key)
    if run.returncode != 0 or len(rows) != kept:
        sys.exit("recovery delivered %d of %d" % (len(rows), kept))
    return kept, (rows[-1][0] - started) * 1000, run.seconds * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--counts", type=int, nargs="*", default=[5, 1000])
    parser.add_argument("--stat-host", default=os.environ.get("TALLYSCOPE_STAT_HOST", "127.0.0.1:18765"))
    args = parser.parse_args()
    os.environ.setdefault("TALLYSCOPE_BIN", os.path.join(HERE, "..", "build", "mingw", "bin"))
    port = int(args.stat_host.rpartition(":")[2])
    key = "offlinebench%d" % os.getpid()

    print("StopTallyscope against hostile servers (budget 3000 ms plus the post in flight)")
    print("%-9s %7s %10s %10s" % ("server", "queued", "median ms", "max ms"))
    for mode in MODES:
        for count in args.counts:
            times = [stop_ms(mode, port, key, count) for _ in range(args.runs)]
            print("%-9s %7d %10.0f %10d" % (mode, count, statistics.median(times), max(times)))
    spool_files.remove(key)

    print("Delivery of a spool after recovery: SetAppInfo in a new process, then StopTallyscope")
    print("%7s %18s %12s" % ("spooled", "to last report ms", "process ms"))
    for _ in range(args.runs):
        kept, last_ms, process_ms = recovery(port, key, 1000)
        print("%7d %18.0f %12.0f" % (kept, last_ms, process_ms))
    return 0


if __name__ == "__main__":
    sys.exit(main())
