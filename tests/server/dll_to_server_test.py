"""The real DLL under Wine posts to a running tallyscope-server; what the server stored is what the
host reported."""
import csv
import io
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

import spool_files
from wine_run import bin_dir, post_data_lines, run_host, wine_env

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "server", "tests", "support"))
from ingest_server import stored_reports  # noqa: E402

SOURCE = os.environ.get("TALLYSCOPE_SOURCE") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SERVER = os.environ.get("TALLYSCOPE_SERVER") or os.path.join(SOURCE, "build", "native", "server", "tallyscope-server")
STAT_HOST = os.environ.get("TALLYSCOPE_STAT_HOST", "127.0.0.1:18765")


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
        return [(r["device"], r["app"], r["kind"], r["channel"], r["name"], r["content"], r["inventory"][0],
                 r["inventory"][2], r["inventory"][3], r["body"]) for r in stored_reports(self.db) if r["app"] == self.key]

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
        kinds = [r[2] for r in rows]
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


class Front:
    """What stands between the DLL and the server: passes each request on, or answers 502/504
    itself like a proxy, or holds it longer than the DLL waits before passing it on."""

    def __init__(self, port, backend):
        self.backend = backend
        self.mode = "forward"
        self.listener = socket.create_server(("127.0.0.1", port), reuse_port=False)
        self.listener.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def close(self):
        self.running = False
        self.thread.join()
        self.listener.close()

    def _accept(self):
        while self.running:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                continue
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        with conn:
            conn.settimeout(60)
            data = b""
            try:
                while True:
                    while b"\r\n\r\n" not in data:
                        chunk = conn.recv(65536)
                        if not chunk:
                            return
                        data += chunk
                    head, _, rest = data.partition(b"\r\n\r\n")
                    length = int((re.search(rb"(?i)content-length: *(\d+)", head) or [0, b"0"])[1])
                    while len(rest) < length:
                        chunk = conn.recv(65536)
                        if not chunk:
                            return
                        rest += chunk
                    request, data = head + b"\r\n\r\n" + rest[:length], rest[length:]
                    mode = self.mode
                    if mode in ("502", "504"):
                        conn.sendall(b"HTTP/1.1 %s Stand-in\r\nContent-Length: 0\r\n\r\n" % mode.encode())
                        continue
                    if mode == "slow":
                        time.sleep(17)  # past the DLL's 15 s: it gives up, the server still stores
                    conn.sendall(self._forward(request))
            except OSError:
                return

    def _forward(self, request):
        try:
            with socket.create_connection(("127.0.0.1", self.backend), timeout=20) as up:
                head, _, body = request.partition(b"\r\n\r\n")
                head = re.sub(rb"(?im)^connection:[^\r\n]*\r\n?", b"", head).rstrip(b"\r\n")
                up.sendall(head + b"\r\nConnection: close\r\n\r\n" + body)
                answer = b""
                while b"\r\n\r\n" not in answer or len(answer.partition(b"\r\n\r\n")[2]) < int(
                        (re.search(rb"(?i)content-length: *(\d+)", answer.partition(b"\r\n\r\n")[0]) or [0, b"0"])[1]):
                    chunk = up.recv(65536)
                    if not chunk:
                        break
                    answer += chunk
            head, sep, body = answer.partition(b"\r\n\r\n")
            if not sep:
                raise OSError("no answer")
            head = re.sub(rb"(?im)^connection:[^\r\n]*\r\n?", b"", head).rstrip(b"\r\n")
            return head + b"\r\n\r\n" + body
        except OSError:
            return b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class CountedOnceThroughFailures(unittest.TestCase):
    """Several host threads stream numbered reports while the server is killed and restarted, its
    store fails (a full file system: 503), a stand-in answers 502 and 504, answers come slower than
    the DLL waits, and the host process itself is killed; every report ReportAppEvent took must be
    stored exactly once, but for a killed host's reports of its last tick."""

    TICK_MS = 3000

    def setUp(self):
        if not os.path.exists(SERVER):
            self.skipTest("no tallyscope-server at %s" % SERVER)
        host, _, port = STAT_HOST.rpartition(":")
        if host != "127.0.0.1" or not port.isdigit():
            self.skipTest("the DLL posts to %s, not to a loopback port" % STAT_HOST)
        work = tempfile.TemporaryDirectory(prefix="tallyscope-once-")
        self.addCleanup(work.cleanup)
        self.data = os.path.join(work.name, "data")
        os.makedirs(self.data)
        # The store on a small file system of its own, so that filling it makes commits fail.
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=48m", "tmpfs", self.data],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot mount a small file system here")
        self.addCleanup(subprocess.run, ["umount", "-l", self.data])
        self.log = open(os.path.join(work.name, "server.log"), "w+b")
        self.addCleanup(self.log.close)
        self.work = work.name
        self.backend = free_port()
        self.server = None
        self.start_server()
        self.addCleanup(self.kill_server)
        self.front = Front(int(port), self.backend)
        self.addCleanup(self.front.close)
        self.key = "once%d" % os.getpid()
        spool_files.remove(self.key)
        self.addCleanup(spool_files.remove, self.key)

    def start_server(self):
        self.server = subprocess.Popen([SERVER, "--listen", "127.0.0.1:%d" % self.backend, "--data", self.data],
                                       stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        deadline = time.monotonic() + 60
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.backend), timeout=1).close()
                return
            except OSError:
                if self.server.poll() is not None or time.monotonic() > deadline:
                    self.fail("tallyscope-server did not start")
                time.sleep(0.05)

    def kill_server(self):
        if self.server is not None and self.server.poll() is None:
            self.server.kill()
            self.server.wait()

    def host(self, name, *steps):
        out = open(os.path.join(self.work, name + ".out"), "w+b")
        self.addCleanup(out.close)
        exe = os.path.join(bin_dir(), "script_host.exe")
        proc = subprocess.Popen(["wine", exe, *[str(s) for s in steps]], cwd=bin_dir(), stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.DEVNULL, env=wine_env())
        return proc, out

    def export(self):
        with open(os.path.join(self.data, "access-token")) as f:
            token = f.read().strip()
        request = urllib.request.Request("http://127.0.0.1:%d/api/v1/apps/%s/export.csv?from=2000-01-01&to=2100-01-01"
                                         % (self.backend, self.key), headers={"Authorization": "Bearer " + token})
        with urllib.request.urlopen(request, timeout=60) as answer:
            return list(csv.DictReader(io.StringIO(answer.read().decode("utf-8"))))

    def test_every_accepted_report_is_stored_exactly_once(self):
        started = time.monotonic()

        def at(seconds):
            time.sleep(max(0.0, started + seconds - time.monotonic()))

        first, first_out = self.host("first", "set", self.key, "chan", "stream", 4, 80, 500, "a", 36000)
        at(4)
        self.kill_server()                      # kill -9, then back after 3 s
        at(7)
        self.start_server()
        at(10)
        filler = os.path.join(self.data, "filler")
        subprocess.run(["dd", "if=/dev/zero", "of=" + filler, "bs=1M", "count=64"], capture_output=True)
        at(16)                                  # 6 s of a store that cannot commit
        os.remove(filler)
        at(18)
        self.front.mode = "502"
        at(21)
        self.front.mode = "504"
        at(24)
        self.front.mode = "slow"                # what arrives now is answered after 17 s
        at(27)
        self.front.mode = "forward"
        first.wait(timeout=120)                 # it kills itself at 36 s
        second, second_out = self.host("second", "set", self.key, "chan", "stream", 4, 100, 100, "b",
                                       "sleep", 5000, "timedstop", "return")
        self.assertEqual(second.wait(timeout=180), 0)
        # What the stops left in the spool goes out with the next process of the key.
        for _ in range(6):
            if not spool_files.waiting_bodies(self.key):
                break
            self.assertEqual(run_host("set", self.key, "chan", "sleep", 6000, "stop", timeout=120).returncode, 0)
        self.assertEqual(spool_files.waiting_bodies(self.key), [])

        accepted, killed_at, window = {}, None, set()
        for out in (first_out, second_out):
            out.seek(0)
            for line in out.read().decode("utf-8", "replace").splitlines():
                m = re.match(r"accepted (\S+) (\d+)", line)
                if m:
                    accepted[m.group(1)] = int(m.group(2))
                m = re.match(r"host: killed at (\d+)", line)
                if m:
                    killed_at = int(m.group(1))
        self.assertIsNotNone(killed_at, "the first host did not kill itself mid-stream")
        self.assertTrue(any(c.startswith("b-") for c in accepted), "the second host reported nothing")
        # Reports of the killed host accepted since its worker's last journal may be gone.
        window = {c for c, t in accepted.items() if c.startswith("a-") and t > killed_at - self.TICK_MS - 1000}
        counts = {}
        for row in self.export():
            if row.get("name") == "stream_event":
                counts[row["content"]] = counts.get(row["content"], 0) + 1
        missing = [c for c in accepted if c not in counts]
        outside = [c for c in missing if c not in window]
        doubled = [c for c, n in counts.items() if n > 1]
        print("accepted %d, stored %d, missing %d (%d within the killed host's last tick, %d outside), doubled %d"
              % (len(accepted), len(counts), len(missing), len(missing) - len(outside), len(outside), len(doubled)))
        # Within the spool's 1024 reports over the whole outage: the cap is not what is tested here.
        self.assertGreater(len(accepted), 500)
        self.assertEqual(sorted(outside, key=lambda c: [int(x) if x.isdigit() else x for x in c.split("-")]), [])
        self.assertEqual(doubled, [])
        self.assertEqual([c for c in counts if c not in accepted], [])


if __name__ == "__main__":
    unittest.main()
