"""The real DLL under Wine posts to a running tallyscope-server; what the server stored is what the
host reported."""
import os
import sqlite3
import subprocess
import tempfile
import time
import unittest

from wine_run import post_data_lines, run_host

SOURCE = os.environ.get("TALLYSCOPE_SOURCE") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SERVER = os.environ.get("TALLYSCOPE_SERVER") or os.path.join(SOURCE, "build", "native", "server", "tallyscope-server")
STAT_HOST = os.environ.get("TALLYSCOPE_STAT_HOST", "127.0.0.1:18765")
KINDS = {0: "app-event", 1: "action", 2: "device-info"}


class DllToServer(unittest.TestCase):
    def setUp(self):
        if not os.path.exists(SERVER):
            self.skipTest("no tallyscope-server at %s: build it with cmake --preset native && "
                          "cmake --build --preset native" % SERVER)
        host, _, port = STAT_HOST.rpartition(":")
        if host != "127.0.0.1" or not port.isdigit():
            self.skipTest("the DLL posts to %s, not to a loopback port" % STAT_HOST)
        work = tempfile.TemporaryDirectory(prefix="tallyscope-dll-server-")
        self.addCleanup(work.cleanup)
        self.db = os.path.join(work.name, "data", "tallyscope.db")
        self.log = open(os.path.join(work.name, "server.log"), "w+b")
        self.addCleanup(self.log.close)
        self.server = subprocess.Popen([SERVER, "--listen", STAT_HOST, "--data", os.path.join(work.name, "data")],
                                       stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        self.addCleanup(self.stop_server)
        deadline = time.monotonic() + 60
        while b"event=start" not in self.log_bytes():
            if self.server.poll() is not None or time.monotonic() > deadline:
                self.fail("tallyscope-server did not start: %s" % self.log_bytes().decode("utf-8", "replace"))
            time.sleep(0.05)
        self.key = "e2e%d" % os.getpid()

    def log_bytes(self):
        self.log.flush()
        self.log.seek(0)
        return self.log.read()

    def stop_server(self):
        if self.server.poll() is None:
            self.server.terminate()
            self.assertEqual(self.server.wait(timeout=60), 0)

    def stored(self):
        db = sqlite3.connect("file:%s?mode=ro" % self.db, uri=True)
        try:
            return db.execute(
                "SELECT d.deviceid, s.value, r.kind, r.channel, r.name, r.content, r.pcosname, r.pcosversion,"
                " r.pcname, r.body FROM reports r JOIN strings s ON s.id = r.app"
                " JOIN devices d ON d.id = r.device WHERE s.value = ? ORDER BY r.id", (self.key,)).fetchall()
        finally:
            db.close()

    def test_every_report_kind_the_host_sends_is_stored_with_the_values_it_sent(self):
        content = 'caf\u00e9 50% "q", a:b'
        run = run_host("set", self.key, "chan\u00e9", "report", "app_start", "-", 1, "report", "export_pdf", content, 0,
                       "report", "app_device_info", "-", 1, "report", "click", "", 0, "stop", "exit", 0,
                       timeout=120)
        self.assertIn("host: stopped", run.stdout, run.stdout + run.stderr)
        self.assertEqual(run.stdout.count("httpResponseContent:\nok\n"), 4, run.stdout)
        rows = self.stored()
        self.assertEqual(len(rows), 4, rows)
        # The stored bodies are the bytes the DLL traced as it posted them, in order.
        self.assertEqual([bytes(r[9]).decode("latin-1") for r in rows], post_data_lines(run.stdout))
        kinds = [KINDS[r[2]] for r in rows]
        self.assertEqual(kinds, ["app-event", "action", "device-info", "action"])
        device_ids = {r[0] for r in rows}
        self.assertEqual(len(device_ids), 1, "every report carries this start's identifier")
        self.assertRegex(device_ids.pop(), r"^([0-9A-F]{32}|Unknown PCID)$")
        for r in rows:
            self.assertEqual(r[3], "chan\u00e9")
        self.assertEqual(rows[0][4], "app_start")
        self.assertRegex(rows[0][5], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
        self.assertEqual((rows[1][4], rows[1][5]), ("export_pdf", content))
        self.assertTrue(rows[2][6], "the inventory's OS name under Wine")
        self.assertTrue(rows[2][8], "the computer name")
        self.assertEqual((rows[3][4], rows[3][5]), ("click", ""))


if __name__ == "__main__":
    unittest.main()
