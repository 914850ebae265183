#!/usr/bin/python3
"""Reports per second and p99 latency of tallyscope-server (durable, SQLite) beside nginx answering
`return 200` on the same path, both driven by wrk in the same run, with a new connection per
request (as the client library posts) and with keep-alive; then the server's resident size over a
longer keep-alive run; and the cost of report ids (every post with a fresh "TallyScope-Report-Id"
against the same posts without one, same run, alternating). Prints figures only; nothing here
passes or fails.

    server/bench/ingest_bench.py [--seconds 10] [--connections 100] [--memory-seconds 30]

Use --memory-seconds 300 for the five-minute memory run.
"""
import argparse
import os
import re
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BODY = ("Param={%22deviceid%22:%220123456789ABCDEF0123456789ABCDEF%22,%22appkey%22:%22bench%22,"
        "%22channelid%22:%22%22,%22installtype%22:%22app_start%22,%22time%22:%222024-03-05%2014:07:09%22}")
# Every request gets an id of its own: the thread's number, a random part and a counter.
ID_SCRIPT = """
local threads = 0
function setup(thread)
    threads = threads + 1
    thread:set("tid", threads)
end
function init(args)
    math.randomseed(os.time() + tid * 7919)
    r1, r2, n = math.random(0, 2147483647), math.random(0, 2147483647), 0
end
wrk.method = "POST"
wrk.body = "{body}"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
function request()
    n = n + 1
    wrk.headers["TallyScope-Report-Id"] = string.format("%08x%08x%08x%08x", tid, r1, r2, n % 4294967296)
    return wrk.format()
end
"""
NGINX_CONF = """
daemon off;
worker_processes auto;
pid {dir}/nginx.pid;
error_log {dir}/error.log crit;
events {{ worker_connections 8192; }}
http {{
    access_log off;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    server {{
        listen {host}:{port} backlog=4096;
        location = /stat/pc.php {{ return 200 "ok"; }}
    }}
}}
"""


# Each side on a loopback address of its own: the closed connections one run leaves in TIME_WAIT
# must not slow the next run's new connections.
NGINX_HOST = "127.0.0.2"
SERVER_HOST = "127.0.0.3"


def free_port(host):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_listening(host, port, process, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("process exited with %d" % process.returncode)
        try:
            socket.create_connection((host, port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on %d" % port)


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class RssSampler(threading.Thread):
    def __init__(self, pid, period=0.5):
        super().__init__(daemon=True)
        self.pid, self.period, self.samples = pid, period, []
        self.halt = threading.Event()

    def run(self):
        while not self.halt.is_set():
            try:
                self.samples.append(rss_kib(self.pid))
            except OSError:
                return
            self.halt.wait(self.period)

    def stop(self):
        self.halt.set()
        self.join()
        return self.samples


def wrk(host, port, script, seconds, connections, close):
    command = ["wrk", "-t2", "-c%d" % connections, "-d%ds" % seconds, "--latency", "-s", script]
    if close:
        command += ["-H", "Connection: close"]
    command.append("http://%s:%d/stat/pc.php" % (host, port))
    out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)", out)
    p99_ms = float(p99.group(1)) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[p99.group(2)]
    non2xx = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    errors = re.search(r"Socket errors:.*", out)
    return rate, p99_ms, int(non2xx.group(1)) if non2xx else 0, errors.group(0) if errors else ""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--server", default=os.path.join(ROOT, "build", "bench", "server", "tallyscope-server"))
    parser.add_argument("--seconds", type=int, default=10, help="length of each wrk run")
    parser.add_argument("--connections", type=int, default=100)
    parser.add_argument("--memory-seconds", type=int, default=30, help="length of the keep-alive memory run")
    args = parser.parse_args()
    if not os.path.exists(args.server):
        sys.exit("no server at %s: cmake --preset bench && cmake --build --preset bench" % args.server)

    work = tempfile.mkdtemp(prefix="tallyscope-ingest-bench-")
    processes = []
    try:
        script = os.path.join(work, "post.lua")
        with open(script, "w") as f:
            f.write('wrk.method = "POST"\nwrk.body = "%s"\n'
                    'wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"\n' % BODY)

        nginx_dir = os.path.join(work, "nginx")
        os.makedirs(nginx_dir)
        nginx_port = free_port(NGINX_HOST)
        with open(os.path.join(nginx_dir, "nginx.conf"), "w") as f:
            f.write(NGINX_CONF.format(dir=nginx_dir, host=NGINX_HOST, port=nginx_port))
        nginx = subprocess.Popen(["nginx", "-p", nginx_dir, "-c", os.path.join(nginx_dir, "nginx.conf")],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(nginx)

        server_port = free_port(SERVER_HOST)
        data = os.path.join(work, "data")
        log = open(os.path.join(work, "server.log"), "wb")
        server = subprocess.Popen([args.server, "--listen", "%s:%d" % (SERVER_HOST, server_port), "--data", data],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        processes.append(server)
        wait_listening(NGINX_HOST, nginx_port, nginx)
        wait_listening(SERVER_HOST, server_port, server)

        print("load average before the runs: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
        print("wrk -t2 -c%d -d%ds, POST of a %d-byte app-event body; tallyscope-server on SQLite "
              "(WAL, synchronous commits, answer after commit)" % (args.connections, args.seconds, len(BODY)))
        print("%-22s %12s %10s %12s %10s %8s" % ("", "nginx req/s", "p99 ms", "server rep/s", "p99 ms", "ratio"))
        sampler = RssSampler(server.pid)
        sampler.start()
        for label, close in (("new connection each", True), ("keep-alive", False)):
            n_rate, n_p99, _, _ = wrk(NGINX_HOST, nginx_port, script, args.seconds, args.connections, close)
            s_rate, s_p99, s_bad, s_errors = wrk(SERVER_HOST, server_port, script, args.seconds, args.connections, close)
            print("%-22s %12.0f %10.2f %12.0f %10.2f %8.2f%s" % (
                label, n_rate, n_p99, s_rate, s_p99, s_rate / n_rate,
                ("   (server non-200: %d)" % s_bad) if s_bad else ""))
        samples = sampler.stop()

        id_script = os.path.join(work, "post_with_id.lua")
        with open(id_script, "w") as f:
            f.write(ID_SCRIPT.replace("{body}", BODY))
        print("report ids: each post with a fresh TallyScope-Report-Id against the same posts without one")
        print("%-22s %14s %14s %8s" % ("", "without rep/s", "with id rep/s", "ratio"))
        for label, close in (("new connection each", True), ("keep-alive", False)):
            without, with_id = [], []
            for _ in range(2):  # alternating, so the store's growth falls on both sides
                without.append(wrk(SERVER_HOST, server_port, script, args.seconds, args.connections, close)[0])
                with_id.append(wrk(SERVER_HOST, server_port, id_script, args.seconds, args.connections, close)[0])
            a, b = sum(without) / 2, sum(with_id) / 2
            print("%-22s %14.0f %14.0f %8.2f" % (label, a, b, b / a))

        memory = RssSampler(server.pid)
        memory.start()
        m_rate, _, _, _ = wrk(SERVER_HOST, server_port, script, args.memory_seconds, args.connections, False)
        mem = memory.stop()
        print("resident size, %d s keep-alive at %.0f rep/s: start %d KiB, end %d KiB, max %d KiB "
              "(end/start %.2f; over all runs max %d KiB)" % (
                  args.memory_seconds, m_rate, mem[0], mem[-1], max(mem), mem[-1] / mem[0], max(samples + mem)))

        server.terminate()
        server.wait(timeout=60)
        db = sqlite3.connect(os.path.join(data, "tallyscope.db"))
        stored = db.execute("SELECT count(*) FROM reports").fetchone()[0]
        db.close()
        print("stored reports after the runs: %d" % stored)
    finally:
        for p in processes:
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
