#!/usr/bin/env python3
"""Drain time per body: N reports queued through the real DLL, then StopTallyscope, against the
loopback collector under Wine and, with --server, against tallyscope-server in the same run. Prints
bodies per second and milliseconds per body, beside the floor: the same bodies posted one after
another into the same collector by plain WinHTTP with a fresh session each ("bare post"). Beside the
times, the Wine process's waits (voluntary context switches) and processor time per body: a busy
machine blurs the times, not these, and every wait is a wake-up that an idle, power-saving machine
pays for dearly.

    WINEPREFIX=... TALLYSCOPE_BIN=build/mingw/bin python3 benchmarks/drain_bench.py [N ...] [--runs R]
        [--server build/native/server/tallyscope-server]

The DLL posts to the statistics host it was built for (TALLYSCOPE_STAT_HOST, default
127.0.0.1:18765); the collector is started on that port. Not a test: it prints figures only.
"""

import argparse
import contextlib
import os
import re
import resource
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

from collector_fixture import Collector, header_values  # noqa: E402
from wine_run import run_program  # noqa: E402


@contextlib.contextmanager
def stat_server(path, port):
    """tallyscope-server on the DLL's port with a fresh SQLite store; yields the count of stored
    bench reports."""
    with tempfile.TemporaryDirectory(prefix="tallyscope-drain-") as data:
        server = subprocess.Popen([path, "--listen", "127.0.0.1:%d" % port, "--data", data],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 60
            while True:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=1).close()
                    break
                except OSError:
                    if server.poll() is not None or time.monotonic() > deadline:
                        sys.exit("tallyscope-server did not start")
                    time.sleep(0.05)

            def stored():
                db = sqlite3.connect("file:%s?mode=ro" % os.path.join(data, "tallyscope.db"), uri=True)
                try:
                    return db.execute("SELECT count(*) FROM reports r JOIN strings s ON s.id = r.app"
                                      " WHERE s.value = 'bench-key'").fetchone()[0]
                finally:
                    db.close()
            yield stored
        finally:
            server.terminate()
            server.wait(timeout=60)


@contextlib.contextmanager
def child_costs(count, into):
    """Appends (waits, processor ms) per body of the programs run and waited for meanwhile."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    yield
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime) * 1000
    into.append(((after.ru_nvcsw - before.ru_nvcsw) / count, cpu / count))


def bare_post_ms(collector, posts, costs):
    """Posts the bodies the drain delivered again, the same way but with plain WinHTTP and a fresh
    session per body, into the same collector; returns the total milliseconds."""
    with tempfile.NamedTemporaryFile("wb", suffix=".txt", delete=False) as listing:
        for post in posts:
            ids = header_values(post, "TallyScope-Report-Id")
            listing.write((ids[0] if ids else b"-") + b" " + post.body + b"\n")
    try:
        with child_costs(len(posts), costs):
            run = run_program("post_probe", ["bare", collector.url, listing.name], timeout=600)
    finally:
        os.unlink(listing.name)
    match = re.search(r"posts=(\d+) answered=(\d+) total_ms=([\d.]+)", run.stdout)
    if run.returncode != 0 or not match or int(match.group(2)) != len(posts):
        sys.exit("post_probe failed: %s %s" % (run.stdout[-500:], run.stderr[-500:]))
    return float(match.group(3))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("counts", nargs="*", type=int, default=[64, 256, 1024])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--no-quick-ack", action="store_true",
                        help="let the collector delay its ACKs like most servers do")
    parser.add_argument("--stat-host", default=os.environ.get("TALLYSCOPE_STAT_HOST", "127.0.0.1:18765"))
    parser.add_argument("--server", help="tallyscope-server binary: drain into it too, in the same run")
    args = parser.parse_args()
    os.environ.setdefault("TALLYSCOPE_BIN", os.path.join(HERE, "..", "build", "mingw", "bin"))
    port = int(args.stat_host.rpartition(":")[2])

    print("%-10s %6s %5s %12s %12s %10s %10s %11s %12s" % ("into", "bodies", "run", "drain ms", "in stop ms",
                                                           "bodies/s", "ms/body", "waits/body", "cpu ms/body"))
    targets = ["collector"] + (["server"] if args.server else [])
    row = "%-10s %6d %5s %12.1f %12s %10.0f %10.3f %11.1f %12.3f%s"
    for count in args.counts:
        bare = []
        bare_costs = []
        for target in targets:
            totals = []
            costs = []
            for run_index in range(args.runs):
                if target == "collector":
                    receiver = Collector(port=port, quick_ack=not args.no_quick_ack)
                    with receiver as collector:
                        with child_costs(count, costs):
                            run = run_program("drain_host", [str(count)], timeout=600)
                        # Other programs on this machine may post to the same port; count ours only.
                        ours = [p for p in collector.posts() if b"bench-key" in p.body]
                        received = len(ours)
                        if received == count:
                            bare.append(bare_post_ms(collector, ours, bare_costs))
                else:
                    with stat_server(args.server, port) as stored:
                        with child_costs(count, costs):
                            run = run_program("drain_host", [str(count)], timeout=600)
                        received = stored()
                match = re.search(r"queued=(\d+) queue_ms=([\d.]+) stop_ms=([\d.]+) total_ms=([\d.]+)", run.stderr)
                if run.returncode != 0 or not match:
                    sys.exit("drain_host failed: %s %s" % (run.stdout[-500:], run.stderr[-500:]))
                queued, total_ms, stop_ms = int(match.group(1)), float(match.group(4)), float(match.group(3))
                if queued != count or received != count:
                    sys.exit("%d bodies queued, %d queued by the DLL, %d received" % (count, queued, received))
                totals.append(total_ms)
                print(row % (target, count, run_index + 1, total_ms, "%.1f" % stop_ms, count / (total_ms / 1000),
                             total_ms / count, *costs[-1], ""))
                if target == "collector":
                    print(row % ("bare post", count, run_index + 1, bare[-1], "", count / (bare[-1] / 1000),
                                 bare[-1] / count, *bare_costs[-1], ""))
            median = statistics.median(totals)
            floor = statistics.median(bare)
            waits, cpu = (statistics.median(c[i] for c in costs) for i in (0, 1))
            floor_waits, floor_cpu = (statistics.median(c[i] for c in bare_costs) for i in (0, 1))
            if target == "collector":
                print(row % ("bare post", count, "", floor, "", count / (floor / 1000), floor / count, floor_waits,
                             floor_cpu, "   (median)"))
            print(row % (target, count, "", median, "", count / (median / 1000), median / count, waits, cpu,
                         "   (median, %.2fx the bare post; %.2fx its waits)" % (median / floor, waits / floor_waits)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
