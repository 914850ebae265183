#!/usr/bin/python3
"""Store benchmark at scale: generates N reports from N/10 devices over 120 days (cached under
build/store-bench), loads them with `tallyscope-server import` into SQLite and into a throwaway
PostgreSQL (bytes per report, import rate, the same import again), then times the dashboard's
queries through the query API on running servers, the runs alternating between the backends so
a busy moment of the machine falls on both alike; with --ingest-seconds S it then measures live
ingest on those full stores (wrk, posts from N/10 devices at random, each with a fresh report
id): one server in both connection modes, and on PostgreSQL two servers sharing the database,
each taking half the connections.

Prints figures only; nothing here passes or fails on speed.

    store_bench.py --server build/bench/server/tallyscope-server --reports 1000000 [--backends sqlite,postgresql]
"""
import argparse
import http.client
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
from pg_cluster import PostgresCluster  # noqa: E402

DAYS = 120
LAST_DAY = "2026-12-07"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def day_offset(date, days):
    import datetime
    return (datetime.date.fromisoformat(date) + datetime.timedelta(days=days)).isoformat()


class Server:
    def __init__(self, binary, data_dir, store_url):
        self.port = free_port()
        args = [binary, "--listen", "127.0.0.1:%d" % self.port, "--data", data_dir]
        if store_url:
            args += ["--store", store_url]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        token_file = os.path.join(data_dir, "access-token")
        deadline = time.time() + 120
        while True:
            try:
                conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
                conn.request("GET", "/healthz")
                if conn.getresponse().status == 200 and os.path.exists(token_file):
                    break
            except OSError:
                pass
            if time.time() > deadline or self.proc.poll() is not None:
                raise RuntimeError("the server did not start")
            time.sleep(0.2)
        with open(token_file) as f:
            self.token = f.read().strip()
        self.conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=120)

    def get(self, path):
        self.conn.request("GET", path, headers={"Authorization": "Bearer " + self.token})
        r = self.conn.getresponse()
        body = r.read()
        if r.status != 200:
            raise RuntimeError("%s answered %d: %s" % (path, r.status, body[:200]))
        return json.loads(body)

    def stop(self):
        self.conn.close()
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=120)


def dashboard_queries():
    frm, to = day_offset(LAST_DAY, -89), LAST_DAY
    rng = "from=%s&to=%s" % (frm, to)
    queries = [("daily, 90 days", "/api/v1/apps/bench/daily?" + rng),
               ("daily, 90 days, channel=store", "/api/v1/apps/bench/daily?" + rng + "&channel=store"),
               ("active devices, 90 days", "/api/v1/apps/bench/active?" + rng)]
    for dim in ["event", "action", "content", "channel", "os", "osversion"]:
        queries.append(("top %s, 90 days" % dim, "/api/v1/apps/bench/top?dimension=%s&%s" % (dim, rng)))
    queries.append(("top content of one action, 90 days",
                    "/api/v1/apps/bench/top?dimension=content&action=action_00&" + rng))
    queries.append(("top event, 90 days, channel=beta", "/api/v1/apps/bench/top?dimension=event&channel=beta&" + rng))
    queries.append(("retention, 90 days", "/api/v1/apps/bench/retention?" + rng))
    for dim in ["event", "action", "channel", "os", "osversion"]:
        queries.append(("breakdown %s, 90 days" % dim, "/api/v1/apps/bench/breakdown?dimension=%s&%s" % (dim, rng)))
    queries.append(("breakdown os, 90 days, channel=store",
                    "/api/v1/apps/bench/breakdown?dimension=os&channel=store&" + rng))
    queries.append(("apps list", "/api/v1/apps"))
    return queries


def time_queries(binary, stores, runs):
    """Each query's median and worst time on every store in `stores` ({name: (data dir, URL)}): the
    runs alternate between the stores, so a busy moment of the machine falls on all of them."""
    servers = {}
    try:
        for name, (work, store_url) in stores.items():
            servers[name] = Server(binary, work, store_url)
        timed = {name: [] for name in stores}
        for label, path in dashboard_queries():
            times = {name: [] for name in stores}
            for server in servers.values():
                server.get(path)  # warm
            for _ in range(runs):
                for name, server in servers.items():
                    start = time.perf_counter()
                    server.get(path)
                    times[name].append((time.perf_counter() - start) * 1000)
            for name in stores:
                median, worst = statistics.median(times[name]), max(times[name])
                print("%-40s %-10s median %8.2f ms   max %8.2f ms" % (label, name, median, worst))
                timed[name].append((label, median))
        return timed
    finally:
        for server in servers.values():
            server.stop()


def store_bytes(work, store_url):
    """The store's size: the SQLite file after a checkpoint, or the PostgreSQL database."""
    if store_url:
        out = subprocess.run(["psql", store_url, "-At", "-c", "SELECT pg_database_size(current_database())"],
                             capture_output=True, text=True, check=True)
        return int(out.stdout.strip())
    import sqlite3
    db = sqlite3.connect(os.path.join(work, "tallyscope.db"))
    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    db.close()
    return sum(os.path.getsize(os.path.join(work, f)) for f in os.listdir(work))


def print_tables(work, reports):
    """Bytes per report of each SQLite table and index, largest first (when dbstat is there)."""
    import sqlite3
    db = sqlite3.connect(os.path.join(work, "tallyscope.db"))
    try:
        rows = db.execute("SELECT name, SUM(pgsize) FROM dbstat GROUP BY name ORDER BY 2 DESC").fetchall()
    except sqlite3.Error:
        rows = []
    finally:
        db.close()
    if rows:
        print("   bytes per report by table/index: " +
              ", ".join("%s %.0f" % (n, b / reports) for n, b in rows if b / reports >= 1))


def print_pg_tables(store_url, reports):
    """Bytes per report of each PostgreSQL table, its indexes and TOAST included, largest first."""
    out = subprocess.run(["psql", store_url, "-At", "-F", " ", "-c",
                          "SELECT c.relname, pg_total_relation_size(c.oid) FROM pg_class c"
                          " JOIN pg_namespace n ON n.oid = c.relnamespace"
                          " WHERE c.relkind = 'r' AND n.nspname = 'public' ORDER BY 2 DESC"],
                         capture_output=True, text=True, check=True)
    rows = [(n, int(b)) for n, b in (line.split() for line in out.stdout.split("\n") if line.strip())]
    print("   bytes per report by table (indexes included): " +
          ", ".join("%s %.0f" % (n, b / reports) for n, b in rows if b / reports >= 1))


def load_backend(name, binary, csv, reports, work, store_url=None):
    """Imports the data set into a new store, twice (the second finds every row already there)."""
    args = [binary, "import", "--data", work]
    if store_url:
        args += ["--store", store_url]
    start = time.perf_counter()
    subprocess.run(args + [csv], check=True, stdout=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    size = store_bytes(work, store_url)
    print("== %s: import of %d reports: %.1f s, %.0f reports/s with every rollup; %.2f GB on disk, "
          "%.0f bytes per report (rollups and indexes included)"
          % (name, reports, seconds, reports / seconds, size / 1e9, size / reports))
    if store_url:
        print_pg_tables(store_url, reports)
    else:
        print_tables(work, reports)
    # The same file again, as after an interrupted import: every row is found, nothing doubles.
    start = time.perf_counter()
    out = subprocess.run(args + [csv], check=True, capture_output=True, text=True)
    again = time.perf_counter() - start
    done = [l for l in (out.stdout + out.stderr).splitlines() if "event=import_done" in l]
    print("== %s: the same import again: %.1f s, %.0f rows/s (%s)"
          % (name, again, reports / again, done[-1].split("event=import_done", 1)[1].strip() if done else "?"))
    if store_url:
        # The planner's statistics as autovacuum would have them on a store that grew this big.
        subprocess.run(["psql", store_url, "-q", "-c", "VACUUM ANALYZE"], check=True)


def spread_script(work, salt, devices):
    """Live traffic: every post from one of many devices (as a fleet's posts are), each with a
    report id of its own."""
    from ingest_bench import write_id_script
    return write_id_script(os.path.join(work, "post_spread_%d.lua" % salt), salt, devices)


def ingest_rates(name, binary, work, store_url, seconds, devices, connections=32):
    """Reports per second into a server on the loaded store; on PostgreSQL also two servers at once,
    each with half the connections (the same load, spread over both)."""
    from ingest_bench import wrk
    counts = [1, 2] if store_url else [1]
    print("== %s ingest: wrk -t2 -c%d -d%ds in all, posts from %d devices at random; load average before: %s"
          % (name, connections, seconds, devices, " ".join(open("/proc/loadavg").read().split()[:3])))
    for servers in counts:
        started = [Server(binary, tempfile.mkdtemp(dir=work) if i else work, store_url) for i in range(servers)]
        try:
            for label, close in (("new connection each", True), ("keep-alive", False)):
                rates = [None] * servers

                def run(i):
                    rates[i] = wrk("127.0.0.1", started[i].port, spread_script(work, i + 1, devices), seconds,
                                   connections // servers, close)

                threads = [threading.Thread(target=run, args=(i,)) for i in range(servers)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join()
                bad = sum(r[2] for r in rates)
                print("== %s ingest, %d server%s on the loaded store, %s: %.0f reports/s%s%s (load average %s)" % (
                    name, servers, "s" if servers > 1 else "", label, sum(r[0] for r in rates),
                    " = " + " + ".join("%.0f" % r[0] for r in rates) if servers > 1 else "",
                    " (non-200: %d)" % bad if bad else "", " ".join(open("/proc/loadavg").read().split()[:3])))
        finally:
            for server in started:
                server.stop()


def print_comparison(reports, timed):
    """Each query's median on PostgreSQL beside SQLite's, from the runs above."""
    sqlite, pg = dict(timed["SQLite"]), dict(timed["PostgreSQL"])
    print("== dashboard queries at %d reports, PostgreSQL against SQLite (medians; the goal is PG/SQLite <= 2)"
          % reports)
    worst = 0.0
    for label, _ in timed["SQLite"]:
        ratio = pg[label] / max(sqlite[label], 0.01)
        worst = max(worst, ratio)
        print("%-40s SQLite %8.2f ms   PostgreSQL %8.2f ms   PG/SQLite %6.2f" % (label, sqlite[label], pg[label], ratio))
    print("%-40s %48s %6.2f" % ("largest ratio", "", worst))


def measure(binary, stores, reports, runs, ingest_seconds):
    print("== dashboard queries, %d runs each, alternating between the stores; load average before: %s"
          % (runs, " ".join(open("/proc/loadavg").read().split()[:3])))
    timed = time_queries(binary, stores, runs)
    print("== load average after the queries: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    if len(timed) == 2:
        print_comparison(reports, timed)
    if ingest_seconds:
        for name, (work, url) in stores.items():
            ingest_rates(name, binary, work, url, ingest_seconds, max(reports // 10, 1))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--server", required=True)
    p.add_argument("--reports", type=int, default=1_000_000)
    p.add_argument("--backends", default="sqlite,postgresql")
    p.add_argument("--runs", type=int, default=15)
    p.add_argument("--cache", default=os.path.join(HERE, "..", "..", "build", "store-bench"))
    p.add_argument("--query-only", metavar="DATA_DIR",
                   help="time the queries on a store loaded before (with --store URL for PostgreSQL)")
    p.add_argument("--store")
    p.add_argument("--loaded", nargs=2, metavar=("SQLITE_DIR", "PG_DIR"),
                   help="both stores loaded before (the PostgreSQL one at --store URL, N given by --reports): "
                        "the queries side by side and the ingest runs (which add to the stores), no import")
    p.add_argument("--ingest-seconds", type=int, default=0, help="length of each live ingest run (0: none)")
    a = p.parse_args()
    if a.query_only:
        time_queries(os.path.abspath(a.server), {"store": (a.query_only, a.store)}, a.runs)
        return
    if a.loaded:
        stores = {"SQLite": (a.loaded[0], None), "PostgreSQL": (a.loaded[1], a.store)}
        measure(os.path.abspath(a.server), stores, a.reports, a.runs, a.ingest_seconds)
        return
    os.makedirs(a.cache, exist_ok=True)
    csv = os.path.join(a.cache, "reports-%d.csv" % a.reports)
    if not os.path.exists(csv):
        subprocess.run([sys.executable, os.path.join(HERE, "generate_reports.py"), "--reports", str(a.reports),
                        "--devices", str(max(a.reports // 10, 1)), "--days", str(DAYS), "--last-day", LAST_DAY,
                        csv + ".part"], check=True)
        os.rename(csv + ".part", csv)
    with open(csv, "rb") as f:
        reports = sum(1 for _ in f) - 1
    print("== data set: %d reports, %d devices, %d days ending %s (%s)" % (reports, a.reports // 10, DAYS, LAST_DAY, csv))
    binary = os.path.abspath(a.server)
    backends = a.backends.split(",")
    for backend in backends:
        if backend not in ("sqlite", "postgresql"):
            sys.exit("unknown backend " + backend)
    top = os.environ.get("TMPDIR", "/tmp")
    works = {name: tempfile.mkdtemp(prefix="tallyscope-store-bench-", dir=top) for name in backends}
    pg = None
    try:
        stores = {}
        if "sqlite" in backends:
            load_backend("SQLite", binary, csv, reports, works["sqlite"])
            stores["SQLite"] = (works["sqlite"], None)
        if "postgresql" in backends:
            pg = PostgresCluster(settings={"shared_buffers": "1GB", "max_wal_size": "8GB",
                                           "checkpoint_timeout": "30min"}).start()
            load_backend("PostgreSQL", binary, csv, reports, works["postgresql"], pg.url)
            stores["PostgreSQL"] = (works["postgresql"], pg.url)
        measure(binary, stores, reports, a.runs, a.ingest_seconds)
    finally:
        if pg:
            pg.stop()
        for work in works.values():
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
