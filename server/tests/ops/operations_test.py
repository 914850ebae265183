"""The server as operators run it: options from a config file, the scrape endpoint, online backups."""
import csv
import io
import os
import re
import shutil
import subprocess
import tempfile
import threading
import unittest
import urllib.request

from api_server import SERVER, ApiServer, action, app_event, device_info

PROMTOOL = shutil.which("promtool")


def scrape(port, token=None):
    request = urllib.request.Request("http://127.0.0.1:%d/metrics" % port)
    if token:
        request.add_header("Authorization", "Bearer " + token)
    with urllib.request.urlopen(request, timeout=30) as answer:
        return answer.headers["Content-Type"], answer.read().decode()


def samples(text):
    out = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            out[name] = float(value)
    return out


class Metrics(unittest.TestCase):
    def test_counters_move_as_reports_arrive_and_the_text_passes_promtool(self):
        with tempfile.TemporaryDirectory() as work:
            config = os.path.join(work, "server.conf")
            with open(config, "w") as f:
                # The file names a listener; the command line's --allow-apps wins over the file's.
                f.write('metrics-listen = "127.0.0.1:0"\nallow-apps = ["nobody"]\n')
            server = ApiServer(["--config", config, "--allow-apps", "shop,tools"])
            try:
                found = re.search(r"event=metrics_listen listen=\S*:(\d+)", server.log_text())
                self.assertIsNotNone(found, "the config file's metrics-listen was not read")
                port = int(found.group(1))
                _, before = scrape(port)
                for n in range(5):
                    server.post_report(action("D%d" % n, "shop", "web", "click", str(n)))
                server.post_report(device_info("D0", "tools", ""))
                repeated = action("D9", "shop", "web", "click", "again").encode()
                for _ in range(2):
                    self.assertEqual(server.post(repeated, headers={"Tallyscope-Report-Id": "ab" * 16}), (200, b"ok"))
                self.assertEqual(server.post(b"Param={}")[0], 400)
                self.assertEqual(server.post(app_event("D1", "elsewhere", "", "app_start").encode())[0], 404)
                content_type, after = scrape(port)
                self.assertEqual(content_type, "text/plain; version=0.0.4; charset=utf-8")
                # The main listener serves the same text, to the token only.
                self.assertEqual(server.get("/metrics", token="wrong").status, 401)
                self.assertIn("tallyscope_reports_stored_total", server.get("/metrics").body.decode())
            finally:
                server.stop()
        old, new = samples(before), samples(after)
        moved = {name: new[name] - old.get(name, 0) for name in new}
        expected = {
            "tallyscope_reports_received_total": 10, "tallyscope_reports_stored_total": 8,
            "tallyscope_reports_repeated_total": 1,
            'tallyscope_reports_refused_total{reason="malformed"}': 1,
            'tallyscope_reports_refused_total{reason="unknown_app"}': 1,
            'tallyscope_reports_refused_total{reason="busy"}': 0, "tallyscope_http_503_total": 0,
            "tallyscope_store_errors_total": 0,
        }
        self.assertEqual({name: moved[name] for name in expected}, expected)
        self.assertGreaterEqual(moved["tallyscope_commits_total"], 1)
        self.assertEqual(moved["tallyscope_commit_batch_reports_sum"], 8)
        self.assertEqual(moved['tallyscope_commit_duration_seconds_bucket{le="+Inf"}'],
                         moved["tallyscope_commits_total"])
        # SQLite folds the reports of several commits into one rollup batch soon after them.
        self.assertLessEqual(moved["tallyscope_rollup_batches_total"], moved["tallyscope_commits_total"])
        self.assertLess(new["tallyscope_last_commit_age_seconds"], 60)
        self.assertGreaterEqual(new["tallyscope_open_connections"], 1)  # the scrape's own
        if PROMTOOL is None:
            self.skipTest("promtool (Debian's prometheus package) is not installed")
        for text in (before, after):
            check = subprocess.run([PROMTOOL, "check", "metrics"], input=text, capture_output=True, text=True,
                                   timeout=60)
            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def test_version_names_the_store_backends(self):
        run = subprocess.run([SERVER, "--version"], capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0)
        self.assertRegex(run.stdout, r"^tallyscope-server \d+\.\d+\.\d+\n")
        self.assertRegex(run.stdout, r"sqlite \(SQLite 3\.[\d.]+\)\npostgresql \(libpqxx [\d.]+\)")


APPS = ["shop", "tools"]


def figures(server):
    """Every figure the API answers, for every app, over the whole range the reports fall in."""
    out = {"apps": server.get_json("/api/v1/apps")}
    for app in APPS:
        base = "/api/v1/apps/%s/" % app
        out[app] = {
            "daily": server.get_json(base + "daily"),
            "active": server.get_json(base + "active"),
            "retention": server.get_json(base + "retention"),
            "top": [server.get_json(base + "top", dimension=d) for d in
                    ("event", "action", "content", "channel", "os", "osversion")],
        }
    return out


def export(server, app):
    answer = server.get("/api/v1/apps/%s/export.csv" % app)
    assert answer.status == 200, answer.status
    return answer.body


class Backup(unittest.TestCase):
    def test_a_backup_under_load_holds_exactly_the_commits_before_it_and_serves_the_same_figures(self):
        live = ApiServer()
        work = tempfile.TemporaryDirectory()
        token = shutil.copy(live.token_file, os.path.join(work.name, "access-token"))
        stop = threading.Event()
        sent = []
        lock = threading.Lock()

        def load(worker):
            connection = live.connect()
            n = 0
            while not stop.is_set():
                device = "W%dD%d" % (worker, n % 37)
                app = APPS[n % 2]
                body = device_info(device, app, "c%d" % (n % 3)) if n % 11 == 0 else \
                    action(device, app, "c%d" % (n % 3), "click%d" % (n % 5), "w%dn%d" % (worker, n))
                connection.request("POST", "/stat/pc.php", body=body.encode())
                response = connection.getresponse()
                if response.read() == b"ok":
                    with lock:
                        sent.append(body)
                n += 1
            connection.close()

        workers = [threading.Thread(target=load, args=(w,)) for w in range(4)]
        try:
            for t in workers:
                t.start()
            while len(sent) < 400:
                threading.Event().wait(0.05)
            copy = os.path.join(work.name, "copy.db")
            run = subprocess.run([SERVER, "backup", "--data", live.data_dir, copy], capture_output=True, text=True,
                                 timeout=120)
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertIn("event=backup_done", run.stderr)
            at_copy = len(sent)
            while len(sent) < at_copy + 200:
                threading.Event().wait(0.05)
            stop.set()
            for t in workers:
                t.join()

            restored = os.path.join(work.name, "restored")
            os.makedirs(restored)
            shutil.copy(copy, os.path.join(restored, "tallyscope.db"))
            copied = ApiServer(data_dir=restored, token_file=token)
            try:
                copy_figures = figures(copied)
                copy_exports = {app: export(copied, app) for app in APPS}
            finally:
                copied.stop()
            live_exports = {app: export(live, app) for app in APPS}
        finally:
            stop.set()
            live.stop()
        # The live store as of the copy: the copy holds a prefix of every app's arrivals, cut at a
        # commit, with reports that arrived after it missing.
        held = 0
        for app in APPS:
            copy_rows = copy_exports[app].decode().splitlines(keepends=True)
            live_rows = live_exports[app].decode().splitlines(keepends=True)
            self.assertEqual(copy_rows, live_rows[:len(copy_rows)], app)
            held += len(copy_rows) - 1
        self.assertGreaterEqual(held, 400)
        self.assertLess(held, len(sent))
        # Its figures are those of exactly those reports: loaded afresh from the copy's export, a
        # store answers every figure the same.
        fresh = os.path.join(work.name, "fresh")
        for app in APPS:
            csv_file = os.path.join(work.name, app + ".csv")
            with open(csv_file, "wb") as f:
                f.write(copy_exports[app])
            run = subprocess.run([SERVER, "import", "--data", fresh, csv_file], capture_output=True, timeout=120)
            self.assertEqual(run.returncode, 0, run.stderr)
        again = ApiServer(data_dir=fresh, token_file=token)
        try:
            self.assertEqual(figures(again), copy_figures)
        finally:
            again.stop()
            work.cleanup()
        rows = list(csv.DictReader(io.StringIO(copy_exports["shop"].decode(), newline="")))
        self.assertTrue(all(r["appkey"] == "shop" for r in rows))


if __name__ == "__main__":
    unittest.main()
