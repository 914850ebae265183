#!/usr/bin/python3
"""Reports per second and p99 latency of tallyscope-server (durable, on SQLite and on PostgreSQL)
beside nginx answering `return 200` on the same path, all driven by wrk in the same run, with a new
connection per request (as the client library posts) and with keep-alive; then two servers on one
PostgreSQL under load at once, the server's resident size over a longer keep-alive run, and the
cost of report ids (every post with a fresh "TallyScope-Report-Id" against the same posts without
one, same run, alternating). Prints figures only; nothing here passes or fails.

    server/bench/ingest_bench.py [--seconds 5] [--connections 32] [--memory-seconds 30]
                                 [--backends sqlite,postgresql]

Use --memory-seconds 300 for the five-minute memory run.
With --instructions, only the SQLite server's instructions per report under callgrind (with and
without report ids, and with --server-without-filter-rollups without the OS filters' rollups);
without it, --server-without-filter-rollups adds the reports/s of both builds, alternating.
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
sys.path.insert(0, os.path.join(ROOT, "server", "tests", "support"))
from pg_cluster import PostgresCluster  # noqa: E402
BODY = ("Param={%22deviceid%22:%220123456789ABCDEF0123456789ABCDEF%22,%22appkey%22:%22bench%22,"
        "%22channelid%22:%22%22,%22installtype%22:%22app_start%22,%22time%22:%222024-03-05%2014:07:09%22}")
# Every request gets an id of its own: the process's salt and thread number, a random part and a
# counter ({salt} differs per wrk process, so two processes started in the same second do not send
# the same ids). {body} is a Lua expression, so a script can spread its posts over many devices.
ID_SCRIPT = """
local threads = 0
function setup(thread)
    threads = threads + 1
    thread:set("tid", threads)
end
function init(args)
    math.randomseed(os.time() + tid * 7919 + {salt} * 104729)
    r1, r2, n = math.random(0, 2147483647), math.random(0, 2147483647), 0
end
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
function request()
    n = n + 1{scatter}
    wrk.headers["{header}"] = string.format("%08x%08x%08x%08x", {salt} * 16 + tid, r1, r2, n % 4294967296)
    wrk.body = {body}
    return wrk.format()
end
"""


def write_id_script(path, salt=0, devices=0, header="TallyScope-Report-Id", scatter=False):
    """A wrk script posting BODY with a fresh report id each time; with `devices`, each post from
    one of that many devices picked at random. Another `header` of the same length sends the same
    bytes with wrk doing the same work, for a server that sees no id. With `scatter`, every post's
    random part is drawn afresh, as posts from many machines (each with a random part of its own)
    arrive at a server."""
    if devices:
        before, after = BODY.split("0123456789ABCDEF0123456789ABCDEF")
        body = '"%s" .. string.format("5EED5EED5EED5EED5EED%%012X", math.random(0, %d)) .. "%s"' % (
            before, devices - 1, after)
    else:
        body = '"%s"' % BODY
    with open(path, "w") as f:
        f.write(ID_SCRIPT.replace("{salt}", str(salt)).replace("{body}", body).replace("{header}", header)
                .replace("{scatter}", "\n    r1, r2 = math.random(0, 2147483647), math.random(0, 2147483647)" if scatter else ""))
    return path


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
PG_HOST = "127.0.0.4"
PG2_HOST = "127.0.0.6"
SHM_HOST = "127.0.0.7"
BALANCER_HOST = "127.0.0.8"


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


def start_server(binary, host, data, store_url=None, log_path=None):
    port = free_port(host)
    command = [binary, "--listen", "%s:%d" % (host, port), "--data", data]
    if store_url:
        command += ["--store", store_url]
    log = open(log_path or os.path.join(os.path.dirname(data), "server-%d.log" % port), "wb")
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    wait_listening(host, port, process)
    return process, port


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            process.kill()


def fdatasync_ms(directory, rounds=200):
    """Median time to make 8 KiB durable in the store's folder: with one commit answering every
    report that waits for it, `connections / this` bounds the durable rate of a server."""
    path = os.path.join(directory, "fsync-probe")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    try:
        os.write(fd, b"\0" * 8192 * rounds)
        os.fsync(fd)
        times = []
        for i in range(rounds):
            os.lseek(fd, 8192 * i, os.SEEK_SET)
            start = time.perf_counter()
            os.write(fd, b"x" * 8192)
            os.fdatasync(fd)
            times.append((time.perf_counter() - start) * 1000)
    finally:
        os.close(fd)
        os.unlink(path)
    times.sort()
    return times[len(times) // 2]


def callgrind_instructions(binary, work, posts, with_id, devices=300, clients=8):
    """Instructions the server runs (callgrind: the same on a busy machine as on an idle one) while
    `clients` keep-alive connections post `posts` app events from `devices` devices in all."""
    out = os.path.join(work, "callgrind-%d-%d.out" % (posts, with_id))
    data = tempfile.mkdtemp(prefix="cg-", dir=work)
    port = free_port(SERVER_HOST)
    process = subprocess.Popen(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, binary, "--listen",
                                "%s:%d" % (SERVER_HOST, port), "--data", data],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_listening(SERVER_HOST, port, process, seconds=300)
    salt = os.getpid() & 0xffff

    def client(number):
        with socket.create_connection((SERVER_HOST, port)) as s:
            for i in range(posts // clients):
                device = "5EED5EED5EED5EED5EED%012X" % ((number * 1000003 + i) * 7919 % devices)
                body = BODY.replace("0123456789ABCDEF0123456789ABCDEF", device).encode()
                head = "POST /stat/pc.php HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n" % len(body)
                if with_id:
                    head += "TallyScope-Report-Id: %04x%02x%026x\r\n" % (salt, number, i)
                s.sendall(head.encode() + b"\r\n" + body)
                answer = b""
                while not answer.endswith(b"ok"):
                    chunk = s.recv(4096)
                    if not chunk:
                        raise RuntimeError("the server closed the connection")
                    answer += chunk

    threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    process.terminate()
    process.wait(timeout=600)
    with open(out) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError("no totals in " + out)


def instructions_per_report(binary, work, with_id):
    """Per report, the start-up and the store's first pages left out: the difference of two runs."""
    small, large = 400, 2000
    return (callgrind_instructions(binary, work, large, with_id) -
            callgrind_instructions(binary, work, small, with_id)) / (large - small)


def concurrent_wrk(targets, script, seconds, connections, close):
    """wrk on several servers at once, the connections split between them; their rates."""
    procs = []
    for host, port in targets:
        command = ["wrk", "-t1", "-c%d" % max(1, connections // len(targets)), "-d%ds" % seconds, "-s", script]
        if close:
            command += ["-H", "Connection: close"]
        command.append("http://%s:%d/stat/pc.php" % (host, port))
        procs.append(subprocess.Popen(command, stdout=subprocess.PIPE, text=True))
    rates = []
    for p in procs:
        out = p.communicate()[0]
        rates.append(float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)))
    return rates


def start_balancer(work, ports):
    """nginx with the tested load-balancer configuration, our addresses put in; (process, port)."""
    directory = os.path.join(work, "balancer")
    os.makedirs(directory)
    port = free_port(BALANCER_HOST)
    with open(os.path.join(ROOT, "server", "deploy", "nginx-tallyscope.conf")) as f:
        site = f.read()
    upstreams = iter(zip((PG_HOST, PG2_HOST), ports))
    site = re.sub(r"(?m)^(\s*server\s+)127\.0\.0\.1:\d+;", lambda m: "%s%s:%d;" % ((m[1],) + next(upstreams)), site)
    site = re.sub(r"(?m)^(\s*listen\s+)\S+;", r"\g<1>%s:%d backlog=4096;" % (BALANCER_HOST, port), site)
    conf = NGINX_CONF.format(dir=directory, host="127.0.0.255", port=1)
    conf = conf[:conf.index("    server {")] + site + "}\n"
    with open(os.path.join(directory, "nginx.conf"), "w") as f:
        f.write(conf)
    process = subprocess.Popen(["nginx", "-p", directory, "-c", os.path.join(directory, "nginx.conf")],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_listening(BALANCER_HOST, port, process)
    return process, port


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--server", default=os.path.join(ROOT, "build", "bench", "server", "tallyscope-server"))
    parser.add_argument("--seconds", type=int, default=5, help="length of each wrk run")
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--memory-seconds", type=int, default=30, help="length of the keep-alive memory run")
    parser.add_argument("--backends", default="sqlite,postgresql")
    parser.add_argument("--instructions", action="store_true",
                        help="only count the SQLite server's instructions per report under callgrind")
    parser.add_argument("--server-without-filter-rollups",
                        help="the same server built with -DTALLYSCOPE_BENCH_WITHOUT_FILTER_ROLLUPS: its instructions "
                             "(with --instructions) or its reports/s beside the server's")
    args = parser.parse_args()
    if not os.path.exists(args.server):
        sys.exit("no server at %s: cmake --preset bench && cmake --build --preset bench" % args.server)
    backends = args.backends.split(",")

    work = tempfile.mkdtemp(prefix="tallyscope-ingest-bench-")
    if args.instructions:
        try:
            plain = instructions_per_report(args.server, work, False)
            with_id = instructions_per_report(args.server, work, True)
            print("instructions per report (callgrind, 8 keep-alive clients, 300 devices): without id %.0f, with a "
                  "fresh TallyScope-Report-Id %.0f (reports/s ratio if the processor bounds it: %.2f)"
                  % (plain, with_id, plain / with_id))
            if args.server_without_filter_rollups:
                bare = instructions_per_report(args.server_without_filter_rollups, work, True)
                print("without the OS filters' rollups %.0f: the filters cost %.0f%% of the reports/s a processor-bound "
                      "server reaches" % (bare, 100 * (1 - bare / with_id)))
        finally:
            shutil.rmtree(work, ignore_errors=True)
        return
    processes = []
    pg = None
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
        wait_listening(NGINX_HOST, nginx_port, nginx)

        servers = {}
        data = os.path.join(work, "data")
        if "sqlite" in backends:
            servers["sqlite"] = start_server(args.server, SERVER_HOST, data)
            processes.append(servers["sqlite"][0])
        if "postgresql" in backends:
            # Durable as the SQLite store is: fsync on, synchronous commits.
            pg = PostgresCluster(durable=True).start()
            servers["postgresql"] = start_server(args.server, PG_HOST, os.path.join(work, "pg-data"), pg.url)
            processes.append(servers["postgresql"][0])

        floor = fdatasync_ms(work)
        print("load average before the runs: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
        print("wrk -t2 -c%d -d%ds, POST of a %d-byte app-event body; answer after the commit (SQLite: WAL, "
              "synchronous=FULL; PostgreSQL 15 on this machine, fsync on, synchronous_commit on)"
              % (args.connections, args.seconds, len(BODY)))
        print("fdatasync of 8 KiB in the store's folder: %.2f ms median, so %d connections that each wait for "
              "a commit bound a durable server to %.0f reports/s even if every commit held all of them" % (
                  floor, args.connections, args.connections / (floor / 1000)))
        names = [b for b in ("sqlite", "postgresql") if b in servers]
        print("%-22s %12s %8s" % ("", "nginx req/s", "p99 ms") +
              "".join(" %14s %8s" % (b + " rep/s", "p99 ms") for b in names) +
              (" %13s" % "SQLite/nginx" if "sqlite" in servers else "") +
              (" %8s" % "PG/SQLite" if len(names) == 2 else ""))
        nginx_rates = {}
        sampler = RssSampler(servers[names[0]][0].pid)
        sampler.start()
        for label, close in (("new connection each", True), ("keep-alive", False)):
            n_rate, n_p99, _, _ = wrk(NGINX_HOST, nginx_port, script, args.seconds, args.connections, close)
            nginx_rates[close] = n_rate
            line = "%-22s %12.0f %8.2f" % (label, n_rate, n_p99)
            rates = {}
            bad = []
            for name in names:
                host = SERVER_HOST if name == "sqlite" else PG_HOST
                rate, p99, non200, _ = wrk(host, servers[name][1], script, args.seconds, args.connections, close)
                rates[name] = rate
                line += " %14.0f %8.2f" % (rate, p99)
                if non200:
                    bad.append("%s non-200: %d" % (name, non200))
            if "sqlite" in rates:
                line += " %13.2f" % (rates["sqlite"] / n_rate)
            if len(rates) == 2:
                line += " %8.2f" % (rates["postgresql"] / rates["sqlite"])
            print(line + ("   (%s)" % ", ".join(bad) if bad else ""))
        samples = sampler.stop()

        if "sqlite" in servers and os.path.isdir("/dev/shm"):
            # The same server with its store in memory, where fsync costs nothing: what is left is the
            # HTTP path, the hand-off to the writer and SQLite's own work, the part the disk hides.
            shm = tempfile.mkdtemp(prefix="tallyscope-ingest-bench-", dir="/dev/shm")
            try:
                memory_server = start_server(args.server, SHM_HOST, os.path.join(shm, "data"),
                                             log_path=os.path.join(work, "server-shm.log"))
                line = []
                for label, close in (("new connection", True), ("keep-alive", False)):
                    rate = wrk(SHM_HOST, memory_server[1], script, args.seconds, args.connections, close)[0]
                    line.append("%s %.0f rep/s (%.2f of nginx)" % (label, rate, rate / nginx_rates[close]))
                stop(memory_server[0])
            finally:
                shutil.rmtree(shm, ignore_errors=True)
            print("SQLite store in /dev/shm (not durable: the path without the disk): " + ", ".join(line))

        if "postgresql" in servers:
            # A second server on the same database, both under load at once, the connections split.
            second = start_server(args.server, PG2_HOST, os.path.join(work, "pg-data-2"), pg.url)
            processes.append(second[0])
            one = [(PG_HOST, servers["postgresql"][1])]
            two = one + [(PG2_HOST, second[1])]
            for label, close in (("new connection each", True), ("keep-alive", False)):
                alone = sum(concurrent_wrk(one, script, args.seconds, args.connections, close))
                both = concurrent_wrk(two, script, args.seconds, args.connections, close)
                print("two servers on one PostgreSQL, %-19s %s = %.0f reports/s (one server, wrk -t1: %.0f; "
                      "ratio %.2f)" % (label + ":", " + ".join("%.0f" % r for r in both), sum(both), alone,
                                       sum(both) / alone))
            # The same two behind nginx with the repository's configuration (server/deploy).
            balancer = start_balancer(work, [t[1] for t in two])
            processes.append(balancer[0])
            rates = ["%s %.0f" % (label, wrk(BALANCER_HOST, balancer[1], script, args.seconds, args.connections,
                                              close)[0])
                     for label, close in (("new connection", True), ("keep-alive", False))]
            print("the two behind nginx (server/deploy/nginx-tallyscope.conf): %s reports/s" % ", ".join(rates))
            stop(balancer[0])
            stop(second[0])

        if "sqlite" in servers:
            id_script = write_id_script(os.path.join(work, "post_with_id.lua"))
            # The posts without an id carry a header of the same length in its place, so both sides
            # cost wrk the same per request and the ratio is the server's alone.
            no_id_script = write_id_script(os.path.join(work, "post_without_id.lua"), header="X-Same-Length-Header")
            print("report ids (SQLite): each post with a fresh TallyScope-Report-Id against the same posts "
                  "without one")
            print("%-22s %14s %14s %8s" % ("", "without rep/s", "with id rep/s", "ratio"))
            scattered = (write_id_script(os.path.join(work, "post_scattered_id.lua"), scatter=True),
                         write_id_script(os.path.join(work, "post_scattered_without.lua"), scatter=True,
                                         header="X-Same-Length-Header"))
            for label, close, (with_script, without_script) in (
                    ("new connection each", True, (id_script, no_id_script)),
                    ("keep-alive", False, (id_script, no_id_script)),
                    ("keep-alive, many ids", False, scattered)):
                without, with_id = [], []
                # Without, with, with, without: a rate that drifts as the store grows falls
                # on both sides alike.
                for side in (without, with_id, with_id, without):
                    side.append(wrk(SERVER_HOST, servers["sqlite"][1],
                                    with_script if side is with_id else without_script, args.seconds,
                                    args.connections, close)[0])
                a, b = sum(without) / 2, sum(with_id) / 2
                print("%-22s %14.0f %14.0f %8.2f" % (label, a, b, b / a))

        if "sqlite" in servers and args.server_without_filter_rollups:
            # What the OS filters' rollups cost in reports/s: the same server built without them, on
            # a store of its own, posts from 300 devices with fresh ids, the two runs alternating.
            bare = start_server(args.server_without_filter_rollups, SERVER_HOST, os.path.join(work, "data-bare"))
            processes.append(bare[0])
            spread = write_id_script(os.path.join(work, "post_300_devices.lua"), salt=1, devices=300)
            print("OS filters' rollups (SQLite, 300 devices, fresh ids): the same server built without them, "
                  "alternating")
            print("%-22s %14s %14s %12s" % ("", "with rep/s", "without rep/s", "fewer rep/s"))
            for label, close in (("new connection each", True), ("keep-alive", False)):
                with_filters, without = [], []
                for _ in range(2):
                    with_filters.append(wrk(SERVER_HOST, servers["sqlite"][1], spread, args.seconds,
                                            args.connections, close)[0])
                    without.append(wrk(SERVER_HOST, bare[1], spread, args.seconds, args.connections, close)[0])
                a, b = sum(with_filters) / 2, sum(without) / 2
                print("%-22s %14.0f %14.0f %11.0f%%" % (label, a, b, 100 * (1 - a / b)))
            stop(bare[0])

        first = servers[names[0]][0]
        memory = RssSampler(first.pid)
        memory.start()
        host = SERVER_HOST if names[0] == "sqlite" else PG_HOST
        m_rate, _, _, _ = wrk(host, servers[names[0]][1], script, args.memory_seconds, args.connections, False)
        mem = memory.stop()
        print("resident size (%s), %d s keep-alive at %.0f rep/s: start %d KiB, end %d KiB, max %d KiB "
              "(end/start %.2f; over all runs max %d KiB)" % (
                  names[0], args.memory_seconds, m_rate, mem[0], mem[-1], max(mem), mem[-1] / mem[0],
                  max(samples + mem)))

        if "sqlite" in servers:
            stop(servers["sqlite"][0])
            db = sqlite3.connect(os.path.join(data, "tallyscope.db"))
            stored = db.execute("SELECT count(*) FROM reports").fetchone()[0]
            db.close()
            print("stored reports after the runs (SQLite): %d" % stored)
    finally:
        for p in processes:
            stop(p)
        if pg is not None:
            pg.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
