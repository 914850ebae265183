"""Two servers behind nginx (server/deploy/nginx-tallyscope.conf) on a PostgreSQL primary with a
synchronous standby, under load. The primary's machine dies (kill -9 of its postmaster) and the
standby is promoted: every acknowledged report is on the new primary, nothing but 200 and 503 was
answered, no 200 while no primary took writes, both servers came back by themselves, and every
figure equals what an independent SQLite store computes from the export."""
import http.client
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from api_server import SERVER, ApiServer, action, app_event, device_info
from pg_cluster import PostgresCluster, multi_host_url

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
NGINX_CONF = os.path.join(ROOT, "server", "deploy", "nginx-tallyscope.conf")
APP = "failover"
DIMENSIONS = ("event", "action", "content", "channel", "os", "osversion")


def wait_for(what, condition, seconds=90):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


class Nginx:
    """nginx with the repository's configuration, pointed at the given upstream ports."""

    def __init__(self, work, upstream_ports):
        with open(NGINX_CONF) as f:
            site = f.read()
        ports = iter(upstream_ports)
        site = re.sub(r"(?m)^(\s*server\s+)127\.0\.0\.1:\d+;", lambda m: "%s127.0.0.1:%d;" % (m.group(1), next(ports)),
                      site)
        self.port = _free_port()
        site = re.sub(r"(?m)^(\s*listen\s+)\S+;", r"\g<1>127.0.0.1:%d;" % self.port, site)
        self.dir = os.path.join(work, "nginx")
        os.makedirs(self.dir)
        with open(os.path.join(self.dir, "site.conf"), "w") as f:
            f.write(site)
        temp = "".join("    %s_temp_path %s/%s;\n" % (k, self.dir, k) for k in ("client_body", "proxy", "fastcgi",
                                                                                 "uwsgi", "scgi"))
        with open(os.path.join(self.dir, "nginx.conf"), "w") as f:
            f.write("daemon off;\nworker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log warn;\n"
                    "events { worker_connections 1024; }\nhttp {\n    access_log off;\n%s    include %s/site.conf;\n}\n"
                    % (self.dir, self.dir, temp, self.dir))
        self.process = subprocess.Popen(["nginx", "-p", self.dir, "-c", os.path.join(self.dir, "nginx.conf")],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for("nginx to listen", self._listening, 30)

    def _listening(self):
        if self.process.poll() is not None:
            with open(os.path.join(self.dir, "error.log")) as f:
                raise AssertionError("nginx exited: " + f.read())
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=2).close()
            return True
        except OSError:
            return False

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=30)


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Load:
    """Clients posting through nginx, half on one keep-alive connection, half on a new connection per
    report as the library posts. Each answer is kept as (sent, done, status, content); `content` is
    unique per action report, so an acknowledged one can be looked for in the export."""

    def __init__(self, port, clients=8):
        self.port = port
        self.answers = []
        self.lock = threading.Lock()
        self.halt = threading.Event()
        self.threads = [threading.Thread(target=self._client, args=(n,)) for n in range(clients)]
        for t in self.threads:
            t.start()

    def _body(self, n, i):
        device = "dev-%02d-%d" % (n, i % 7)
        channel = ("", "store", "web")[i % 3]
        if i % 10 == 3:
            return None, app_event(device, APP, channel, ("start", "resume")[i % 2])
        if i % 25 == 7:
            return None, device_info(device, APP, channel, osversion="10.0.%d" % (i % 4))
        content = "c%d-%d" % (n, i)
        return content, action(device, APP, channel, ("Open", "Save")[i % 2], content)

    def _client(self, n):
        connection = None
        i = 0
        while not self.halt.is_set():
            content, body = self._body(n, i)
            i += 1
            if connection is None:
                connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
            sent = time.monotonic()
            try:
                connection.request("POST", "/stat/pc.php", body=body.encode("ascii"),
                                   headers={"Content-Type": "application/x-www-form-urlencoded"})
                response = connection.getresponse()
                status, answer = response.status, response.read()
            except (OSError, http.client.HTTPException):
                status, answer = None, b""
                connection.close()
                connection = None
            done = time.monotonic()
            if status == 200 and answer != b"ok":
                status = "200 without ok"
            with self.lock:
                self.answers.append((sent, done, status, content))
            if n % 2 and connection is not None:
                connection.close()
                connection = None
            if status != 200:
                time.sleep(0.01)  # a client backs off a little on a refusal
        if connection is not None:
            connection.close()

    def count(self, status, after=0.0):
        with self.lock:
            return sum(1 for a in self.answers if a[2] == status and a[0] >= after)

    def stop(self):
        self.halt.set()
        for t in self.threads:
            t.join()
        return self.answers


class PostgresFailover(unittest.TestCase):
    def test_two_servers_behind_nginx_lose_nothing_acknowledged_when_the_primary_dies(self):
        work = tempfile.mkdtemp(prefix="tallyscope-failover-")
        self.addCleanup(shutil.rmtree, work, True)
        primary = PostgresCluster()
        self.addCleanup(primary.stop)
        primary.start()
        standby = primary.start_standby()
        self.addCleanup(standby.stop)
        url = multi_host_url([primary, standby], connect_timeout=2)
        first = ApiServer(["--store", url])
        self.addCleanup(first.stop)
        second = ApiServer(["--store", url], token_file=first.token_file)
        self.addCleanup(second.stop)
        nginx = Nginx(work, [first.port, second.port])
        self.addCleanup(nginx.close)

        daily = "/api/v1/apps/%s/daily" % APP
        load = Load(nginx.port)
        try:
            wait_for("acknowledgements before the failure", lambda: load.count(200) >= 300)
            # Each server now keeps a read connection to the primary that is about to die.
            for server in (first, second):
                self.assertEqual(server.get(daily).status, 200)
            killed = time.monotonic()
            primary.kill_postmaster()
            # From here no commit can be confirmed: the standby streams from nobody.
            wait_for("the standby to lose its primary",
                     lambda: standby.sql("SELECT count(*) FROM pg_stat_wal_receiver WHERE status = 'streaming'")
                     == ["0"])
            cut = time.monotonic()
            wait_for("refusals while no primary takes writes", lambda: load.count(503, after=cut) >= 20)
            self.assertEqual(first.get(daily).status, 503, "a figure asked for while no primary is reachable")
            promoting = time.monotonic()
            standby.promote()
            wait_for("acknowledgements after the promotion", lambda: load.count(200, after=promoting) >= 300)
        finally:
            answers = load.stop()

        statuses = {a[2] for a in answers}
        self.assertLessEqual(statuses, {200, 503}, "answers other than 200 and 503 through nginx")
        outage = [a for a in answers if a[0] >= cut and a[1] < promoting]
        self.assertTrue(outage)
        self.assertEqual({a[2] for a in outage}, {503}, "acknowledged while no primary took writes")
        before = max(a[1] for a in answers if a[2] == 200 and a[1] < promoting)
        after = min(a[1] for a in answers if a[2] == 200 and a[1] > promoting)
        print("failover: %d answers, %d acknowledged; no acknowledgement for %.2f s (the kill %.2f s and the "
              "promote %.2f s after the last acknowledgement; the first one %.2f s after the promote)" % (
                  len(answers), sum(1 for a in answers if a[2] == 200), after - before, killed - before,
                  promoting - before, after - promoting))

        # The read connections to the dead primary were dropped: figures come from the new one.
        for server in (first, second):
            self.assertEqual(server.get(daily).status, 200)
        # Each server took writes again by itself (nginx may have sent all the load to one).
        for server in (first, second):
            wait_for("server on port %d to store again" % server.port,
                     lambda: server.post(action("after", APP, "", "Open", "direct-%d" % server.port)) ==
                     (200, b"ok"), 60)

        export = first.get("/api/v1/apps/%s/export.csv" % APP)
        self.assertEqual(export.status, 200)
        exported = export.body.decode("utf-8")
        acknowledged = {a[3] for a in answers if a[2] == 200 and a[3]}
        missing = [c for c in acknowledged if ",%s," % c not in exported]
        self.assertEqual(missing, [], "acknowledged but not on the new primary")
        self.assertEqual(second.get("/api/v1/apps/%s/export.csv" % APP).body, export.body)

        # The oracle: the export loaded into a SQLite store of its own gives the same figures.
        csv_path = os.path.join(work, "export.csv")
        with open(csv_path, "wb") as f:
            f.write(export.body)
        data = os.path.join(work, "oracle")
        imported = subprocess.run([SERVER, "import", "--data", data, csv_path], capture_output=True, timeout=300)
        self.assertEqual(imported.returncode, 0, imported.stderr)
        oracle = ApiServer(data_dir=data, token_file=first.token_file)
        self.addCleanup(oracle.stop)
        base = "/api/v1/apps/%s/" % APP
        queries = [("daily", {}), ("active", {}), ("retention", {})]
        queries += [("daily", {"channel": c}) for c in ("store", "web")]
        queries += [("top", {"dimension": d}) for d in DIMENSIONS]
        for what, params in queries:
            with self.subTest(what=what, **params):
                self.assertEqual(first.get_json(base + what, **params), oracle.get_json(base + what, **params))


if __name__ == "__main__":
    unittest.main()
