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

NGINX_CONF = os.path.join(os.path.dirname(__file__), "..", "..", "deploy", "nginx-tallyscope.conf")
APP = "failover"


def wait_for(what, condition, seconds=90):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def start_nginx(work, upstream_ports):
    """nginx running the repository's configuration with our ports put in; (process, port)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with open(NGINX_CONF) as f:
        site = f.read()
    ports = iter(upstream_ports)
    site = re.sub(r"(?m)^(\s*server\s+)127\.0\.0\.1:\d+;", lambda m: "%s127.0.0.1:%d;" % (m[1], next(ports)), site)
    site = re.sub(r"(?m)^(\s*listen\s+)\S+;", r"\g<1>127.0.0.1:%d;" % port, site)
    with open(os.path.join(work, "site.conf"), "w") as f:
        f.write(site)
    with open(os.path.join(work, "nginx.conf"), "w") as f:
        f.write("daemon off; worker_processes 1; pid %s/nginx.pid; error_log %s/error.log warn;\n"
                "events { worker_connections 1024; }\nhttp { access_log off; %s include %s/site.conf; }\n" % (
                    work, work, "".join("%s_temp_path %s/%s; " % (k, work, k) for k in
                                        ("client_body", "proxy", "fastcgi", "uwsgi", "scgi")), work))
    process = subprocess.Popen(["nginx", "-p", work, "-c", os.path.join(work, "nginx.conf")],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def listening():
        assert process.poll() is None, "nginx exited"
        try:
            socket.create_connection(("127.0.0.1", port), timeout=2).close()
            return True
        except OSError:
            return False
    wait_for("nginx to listen", listening, 30)
    return process, port


class Load:
    """Clients posting through nginx, half on one keep-alive connection, half on a new connection per
    report as the library posts. Each answer is kept as (sent, done, status, content); `content` is
    unique per action report, so an acknowledged one can be looked for in the export."""

    def __init__(self, port, clients=8):
        self.port, self.answers, self.lock, self.halt = port, [], threading.Lock(), threading.Event()
        self.threads = [threading.Thread(target=self._client, args=(n,)) for n in range(clients)]
        for t in self.threads:
            t.start()

    @staticmethod
    def _body(n, i):
        device, channel = "dev-%02d-%d" % (n, i % 7), ("", "store", "web")[i % 3]
        if i % 10 == 3:
            return None, app_event(device, APP, channel, ("start", "resume")[i % 2])
        if i % 25 == 7:
            return None, device_info(device, APP, channel, osversion="10.0.%d" % (i % 4))
        return "c%d-%d" % (n, i), action(device, APP, channel, ("Open", "Save")[i % 2], "c%d-%d" % (n, i))

    def _client(self, n):
        connection, i = None, 0
        while not self.halt.is_set():
            content, body = self._body(n, i)
            i += 1
            connection = connection or http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
            sent = time.monotonic()
            try:
                connection.request("POST", "/stat/pc.php", body=body.encode("ascii"),
                                   headers={"Content-Type": "application/x-www-form-urlencoded"})
                response = connection.getresponse()
                status = response.status if response.read() == b"ok" or response.status != 200 else "200 not ok"
            except (OSError, http.client.HTTPException):
                status = None
            with self.lock:
                self.answers.append((sent, time.monotonic(), status, content))
            if n % 2 or status is None:
                connection.close()
                connection = None
            if status != 200:
                time.sleep(0.01)  # a client backs off a little on a refusal
        if connection:
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
    def keep(self, thing):
        self.addCleanup(thing.stop)
        return thing

    def test_two_servers_behind_nginx_lose_nothing_acknowledged_when_the_primary_dies(self):
        work = tempfile.mkdtemp(prefix="tallyscope-failover-")
        self.addCleanup(shutil.rmtree, work, True)
        primary = self.keep(PostgresCluster())
        primary.start()
        standby = self.keep(primary.start_standby())
        url = multi_host_url([primary, standby], connect_timeout=2)
        first = self.keep(ApiServer(["--store", url]))
        second = self.keep(ApiServer(["--store", url], token_file=first.token_file))
        nginx, port = start_nginx(work, [first.port, second.port])
        self.addCleanup(lambda: (nginx.terminate(), nginx.wait(30)))
        daily = "/api/v1/apps/%s/daily" % APP

        load = Load(port)
        try:
            wait_for("acknowledgements before the failure", lambda: load.count(200) >= 300)
            # Each server now keeps a read connection to the primary that is about to die.
            self.assertEqual([s.get(daily).status for s in (first, second)], [200, 200])
            primary.kill_postmaster()
            # From here no commit can be confirmed: the standby streams from nobody.
            wait_for("the standby to lose its primary", lambda: standby.sql(
                "SELECT count(*) FROM pg_stat_wal_receiver WHERE status = 'streaming'") == ["0"])
            cut = time.monotonic()
            wait_for("refusals while no primary takes writes", lambda: load.count(503, after=cut) >= 20)
            self.assertEqual(first.get(daily).status, 503, "a figure asked for while no primary is reachable")
            promoting = time.monotonic()
            standby.promote()
            wait_for("acknowledgements after the promotion", lambda: load.count(200, after=promoting) >= 300)
        finally:
            answers = load.stop()

        self.assertLessEqual({a[2] for a in answers}, {200, 503}, "answers other than 200 and 503 through nginx")
        outage = {a[2] for a in answers if a[0] >= cut and a[1] < promoting}
        self.assertEqual(outage, {503}, "acknowledged while no primary took writes")
        before = max(a[1] for a in answers if a[2] == 200 and a[1] < promoting)
        after = min(a[1] for a in answers if a[2] == 200 and a[1] > promoting)
        print("failover: %d answers, %d acknowledged; no acknowledgement for %.2f s, of which %.2f s from the "
              "start of the promotion to the first acknowledgement" % (
                  len(answers), load.count(200), after - before, after - promoting))

        # The read connections to the dead primary were dropped, and each server stores again by
        # itself (nginx may have sent all the load to one).
        self.assertEqual([s.get(daily).status for s in (first, second)], [200, 200])
        for server in (first, second):
            wait_for("a server to store again", lambda: server.post(
                action("after", APP, "", "Open", "direct-%d" % server.port).encode()) == (200, b"ok"), 60)

        export = first.get("/api/v1/apps/%s/export.csv" % APP)
        self.assertEqual(export.status, 200)
        self.assertEqual(second.get("/api/v1/apps/%s/export.csv" % APP).body, export.body)
        exported = export.body.decode("utf-8")
        missing = [a[3] for a in answers if a[2] == 200 and a[3] and ",%s," % a[3] not in exported]
        self.assertEqual(missing, [], "acknowledged but not on the new primary")

        # The oracle: the export loaded into a SQLite store of its own gives the same figures.
        with open(os.path.join(work, "export.csv"), "wb") as f:
            f.write(export.body)
        data = os.path.join(work, "oracle")
        imported = subprocess.run([SERVER, "import", "--data", data, os.path.join(work, "export.csv")],
                                  capture_output=True, timeout=300)
        self.assertEqual(imported.returncode, 0, imported.stderr)
        oracle = self.keep(ApiServer(data_dir=data, token_file=first.token_file))
        queries = [("daily", {}), ("active", {}), ("retention", {})]
        queries += [("daily", {"channel": c}) for c in ("store", "web")]
        queries += [("top", {"dimension": d}) for d in ("event", "action", "content", "channel", "os", "osversion")]
        for what, params in queries:
            with self.subTest(what=what, **params):
                path = "/api/v1/apps/%s/%s" % (APP, what)
                self.assertEqual(first.get_json(path, **params), oracle.get_json(path, **params))


if __name__ == "__main__":
    unittest.main()
