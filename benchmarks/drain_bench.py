#!/usr/bin/env python3
"""Drain time per body: N reports queued through the real DLL, then StopTallyscope, against the
loopback collector under Wine. Prints bodies per second and milliseconds per body.

    WINEPREFIX=... TALLYSCOPE_BIN=build/mingw/bin python3 benchmarks/drain_bench.py [N ...] [--runs R]

The DLL posts to the statistics host it was built for (TALLYSCOPE_STAT_HOST, default
127.0.0.1:18765); the collector is started on that port. Not a test: it prints figures only.
"""

import argparse
import os
import re
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

from collector_fixture import Collector  # noqa: E402
from wine_run import run_program  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("counts", nargs="*", type=int, default=[64, 256, 1024])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--no-quick-ack", action="store_true",
                        help="let the collector delay its ACKs like most servers do")
    parser.add_argument("--stat-host", default=os.environ.get("TALLYSCOPE_STAT_HOST", "127.0.0.1:18765"))
    args = parser.parse_args()
    os.environ.setdefault("TALLYSCOPE_BIN", os.path.join(HERE, "..", "build", "mingw", "bin"))
    port = int(args.stat_host.rpartition(":")[2])

    print("%6s %5s %12s %12s %10s %10s" % ("bodies", "run", "drain ms", "in stop ms", "bodies/s", "ms/body"))
    for count in args.counts:
        totals = []
        for run_index in range(args.runs):
            with Collector(port=port, quick_ack=not args.no_quick_ack) as collector:
                run = run_program("drain_host", [str(count)], timeout=600)
                match = re.search(r"queued=(\d+) queue_ms=([\d.]+) stop_ms=([\d.]+) total_ms=([\d.]+)", run.stderr)
                if run.returncode != 0 or not match:
                    sys.exit("drain_host failed: %s %s" % (run.stdout[-500:], run.stderr[-500:]))
                # Other programs on this machine may post to the same port; count ours only.
                received = sum(1 for p in collector.posts() if b"bench-key" in p.body)
            queued, total_ms, stop_ms = int(match.group(1)), float(match.group(4)), float(match.group(3))
            if queued != count or received != count:
                sys.exit("%d bodies queued, %d queued by the DLL, %d received" % (count, queued, received))
            totals.append(total_ms)
            print("%6d %5d %12.1f %12.1f %10.0f %10.3f" % (count, run_index + 1, total_ms, stop_ms,
                                                           count / (total_ms / 1000), total_ms / count))
        median = statistics.median(totals)
        print("%6d %5s %12.1f %12s %10.0f %10.3f   (median)" % (count, "", median, "", count / (median / 1000),
                                                                median / count))
    return 0


if __name__ == "__main__":
    sys.exit(main())
