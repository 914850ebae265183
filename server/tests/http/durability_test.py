"""kill -9 under load: every report the server acknowledged is in the store after a restart."""
import http.client
import subprocess
import threading
import time
import unittest

from ingest_server import IngestServer, param_body
from pg_cluster import PostgresCluster

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


def postgres_contents(url):
    out = subprocess.run(["psql", url, "-At", "-c", "SELECT r.content FROM reports r JOIN strings s ON s.id = r.app"
                          " WHERE s.value = 'dur' ORDER BY r.id"], capture_output=True, text=True, check=True)
    return out.stdout.splitlines()


class Durability(unittest.TestCase):
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
