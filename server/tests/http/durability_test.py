"""kill -9 under load: every report the server acknowledged is in the store after a restart.
A store that cannot commit (a full filesystem under SQLite, a stopped PostgreSQL): every report
is answered 503 with Retry-After, none of those is stored, and service comes back by itself.
Report ids: a repeat is answered 200 and stored once, also across a restart."""
import http.client
import os
import subprocess
import tempfile
import threading
import time
import unittest

from ingest_server import IngestServer, param_body, postgres_reports
from pg_cluster import PG_BIN, PostgresCluster, _as_pg

ID = "0123456789ABCDEF0123456789ABCDEF"


def load_then_kill(server, tag, seconds=2.0, clients=16):
    acknowledged = []
    sent = []
    lock = threading.Lock()
    stop = threading.Event()

    def client(n):
        i = 0
        connection = None
        while not stop.is_set():
            content = "%s-%d-%d" % (tag, n, i)
            i += 1
            # Half the clients keep their connection, half open one per report as the library does.
            if connection is None or n % 2:
                connection = server.connect(timeout=10)
            try:
                with lock:
                    sent.append(content)
                connection.request("POST", "/stat/pc.php", body=param_body(ID, "dur", "", "c", content, action=True))
                response = connection.getresponse()
                answer = (response.status, response.read())
            except (OSError, http.client.HTTPException):
                connection.close()
                connection = None
                continue
            if answer == (200, b"ok"):
                with lock:
                    acknowledged.append(content)
            if n % 2:
                connection.close()

    threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
    for t in threads:
        t.start()
    time.sleep(seconds)
    server.kill()  # SIGKILL while requests and commits are in flight
    stop.set()
    for t in threads:
        t.join()
    return acknowledged, sent


def postgres_contents(url, app="dur"):
    return [r["content"] for r in postgres_reports(url) if r["app"] == app]


def post_answer(server, body, headers=None):
    """(status, Retry-After) of one report on a new connection."""
    connection = server.connect(timeout=30)
    try:
        connection.request("POST", "/stat/pc.php", body=body, headers=headers or {})
        response = connection.getresponse()
        response.read()
        return response.status, response.getheader("Retry-After")
    finally:
        connection.close()


def fill(directory):
    """Writes a file into `directory` until its filesystem is full."""
    with open(os.path.join(directory, "filler"), "wb") as f:
        try:
            while True:
                f.write(b"\0" * 65536)
                f.flush()
        except OSError:
            pass


class Durability(unittest.TestCase):
    def outage(self, server, break_store, mend_store, stored_contents):
        """Reports sent while the store fails get 503 + Retry-After and are not stored; once it
        works again, reports are stored without a restart."""
        self.assertEqual(post_answer(server, param_body(ID, "out", "", "c", "before", action=True))[0], 200)
        break_store()
        answers = {}
        for i in range(40):
            answers["down-%d" % i] = post_answer(server, param_body(ID, "out", "", "c", "down-%d" % i, action=True))
        refused = {c for c, (status, _) in answers.items() if status == 503}
        self.assertGreater(len(refused), 20, answers)
        for content, (status, retry_after) in answers.items():
            self.assertIn(status, (200, 503), content)
            if status == 503:
                self.assertTrue(retry_after and retry_after.isdigit(), "503 without Retry-After")
        mend_store()
        deadline = time.monotonic() + 60
        while post_answer(server, param_body(ID, "out", "", "c", "after", action=True))[0] != 200:
            self.assertLess(time.monotonic(), deadline, "the server did not recover")
            time.sleep(0.2)
        stored = stored_contents()
        self.assertEqual(refused & set(stored), set(), "answered 503 but stored")
        self.assertEqual(set(answers) - refused - set(stored), set(), "answered 200 but not stored")
        self.assertIn("after", stored)
        print("outage: %d answered 503 with Retry-After, %d stored" % (len(refused), len(stored)))

    def repeats(self, server, stored_contents, restart):
        ids = ["%032x" % (0xfeed0000 + n) for n in range(3)]
        for round_ in range(2):
            for n, rid in enumerate(ids):
                body = param_body(ID, "rep", "", "c", "id-%d" % n, action=True)
                self.assertEqual(server.post(body, headers={"TallyScope-Report-Id": rid}), (200, b"ok"))
            # Not an id: stored each time, as from a sender without one.
            for bad in ("%032X" % 0xfeed, "feed", ids[0] + "0"):
                body = param_body(ID, "rep", "", "c", "bad-" + bad, action=True)
                self.assertEqual(server.post(body, headers={"TallyScope-Report-Id": bad}), (200, b"ok"))
            if round_ == 0:
                restart()
        stored = sorted(stored_contents())
        self.assertEqual(stored, sorted(["id-0", "id-1", "id-2"] + ["bad-" + b for b in ("%032X" % 0xfeed, "feed", ids[0] + "0")] * 2))

    def test_sqlite_answers_503_while_its_filesystem_is_full(self):
        mount = tempfile.mkdtemp(prefix="tallyscope-full-")
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", mount], capture_output=True).returncode:
            os.rmdir(mount)
            self.skipTest("cannot mount a small tmpfs here")
        try:
            with IngestServer(data_dir=os.path.join(mount, "data")) as server:
                contents = lambda: [r["content"] for r in server.stored() if r["app"] == "out"]
                self.outage(server, lambda: fill(mount), lambda: os.remove(os.path.join(mount, "filler")), contents)
                server.kill()
        finally:
            subprocess.run(["umount", "-l", mount])
            os.rmdir(mount)

    def test_postgresql_answers_503_while_the_database_is_stopped(self):
        with PostgresCluster() as pg, IngestServer(store_url=pg.url) as server:
            data = os.path.join(pg.directory, "data")
            options = "-p %d -k %s -c listen_addresses=127.0.0.1 -c fsync=off" % (pg.port, pg.directory)
            stop = lambda: _as_pg([PG_BIN + "/pg_ctl", "-D", data, "-m", "fast", "-w", "stop"])
            start = lambda: _as_pg([PG_BIN + "/pg_ctl", "-D", data, "-l", os.path.join(pg.directory, "log"), "-w",
                                    "-o", options, "start"])
            self.outage(server, stop, start, lambda: postgres_contents(pg.url, "out"))

    def test_a_repeated_report_id_is_stored_once_through_a_restart(self):
        with IngestServer() as server:
            self.repeats(server, lambda: [r["content"] for r in server.stored() if r["app"] == "rep"],
                         lambda: (server.kill(), server.start()))
        with PostgresCluster() as pg, IngestServer(store_url=pg.url) as server:
            self.repeats(server, lambda: postgres_contents(pg.url, "rep"), lambda: (server.kill(), server.start()))

    def kill_restart_rounds(self, server, stored_contents):
        all_acknowledged, all_sent = set(), set()
        for round_ in range(3):
            acknowledged, sent = load_then_kill(server, "r%d" % round_)
            all_acknowledged.update(acknowledged)
            all_sent.update(sent)
            server.start()  # same store, same port
            stored = stored_contents()
            self.assertGreater(len(acknowledged), 50, "the load did not get going")
            self.assertEqual(all_acknowledged - set(stored), set(), "acknowledged but lost in round %d" % round_)
            self.assertTrue(set(stored) <= all_sent)
            self.assertEqual(len(stored), len(set(stored)), "a report stored twice")
            print("round %d: %d acknowledged, %d stored in all, %d sent" %
                  (round_, len(acknowledged), len(stored), len(sent)))
        self.assertEqual(server.post(param_body(ID, "dur", "", "c", "after", action=True)), (200, b"ok"))

    def test_sqlite_keeps_every_acknowledged_report_through_kill_9(self):
        with IngestServer() as server:
            self.kill_restart_rounds(server, lambda: [r["content"] for r in server.stored() if r["app"] == "dur"])

    def test_postgresql_keeps_every_acknowledged_report_through_kill_9(self):
        with PostgresCluster() as pg, IngestServer(store_url=pg.url) as server:
            self.kill_restart_rounds(server, lambda: postgres_contents(pg.url))


if __name__ == "__main__":
    unittest.main()
