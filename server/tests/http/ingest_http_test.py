"""The report path of the real server over sockets: what it answers, what it stores, how it stops."""
import http.client
import os
import re
import socket
import ssl
import subprocess
import tempfile
import threading
import time
import unittest

from ingest_server import SERVER, IngestServer, device_body, param_body

ID = "0123456789ABCDEF0123456789ABCDEF"
INVENTORY = ("Windows 7 Pro", "00:11:22:33:44:55", "6.1.7601", "PC", "PC\\user", "S-1-5-21", "ABCDEF", "", "N/A")


class ReportPath(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = IngestServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def test_each_form_is_answered_ok_only_once_stored_with_its_decoded_values(self):
        cases = [
            (param_body(ID, "k1", "", "app_start", "2024-03-05 14:07:09"),
             {"kind": "app-event", "device": ID, "app": "k1", "channel": "", "name": "app_start",
              "content": "2024-03-05 14:07:09"}),
            (param_body("Unknown PCID", "a b&c", "50%", b"click\xff", "tab\there", action=True),
             {"kind": "action", "device": "Unknown PCID", "app": "a b&c", "channel": "50%", "name": "click\u00ff",
              "content": "tab\there"}),
            (param_body(ID, 'k"1', "a,b", "x:y", '{"a":1}', action=True),
             {"kind": "action", "app": 'k"1', "channel": "a,b", "name": "x:y", "content": '{"a":1}'}),
            (param_body(ID, "k1", b"caf\xe9", b"\x80uro", "", action=True),
             {"kind": "action", "channel": "caf\u00e9", "name": "\u20acuro", "content": ""}),
            (device_body(ID, "k1", "", INVENTORY),
             {"kind": "device-info", "device": ID, "app": "k1", "channel": "", "name": "", "content": "",
              "inventory": INVENTORY}),
        ]
        before = len(self.server.stored())
        for body, expected in cases:
            with self.subTest(body=body[:60]):
                self.assertEqual(self.server.post(body), (200, b"ok"))
                row = self.server.stored()[-1]
                self.assertEqual(row["body"], body)
                for key, value in expected.items():
                    self.assertEqual(row[key], value, key)
        self.assertEqual(len(self.server.stored()), before + len(cases))

    def test_bad_input_gets_a_clear_answer_and_stores_nothing_but_the_reject(self):
        stored = len(self.server.stored())
        rejects = len(self.server.rejects())
        garbage = b"Param={%22deviceid%22:%22x%22}"
        cases = [
            ("POST", "/stat/pc.php", garbage, 400, b"Param object has 1 fields, expected five\n"),
            ("POST", "/stat/pc.php", b"", 400, b"body is neither a Param object nor device information\n"),
            ("POST", "/stat/pc.php", b"x" * 16385, 413, None),
            ("GET", "/stat/pc.php", None, 405, None),
            ("PUT", "/stat/pc.php", garbage, 405, None),
            ("POST", "/stat/pc.phpx", garbage, 404, None),
            ("POST", "/", garbage, None, None),  # whatever the dashboard answers, never a stored report
            ("GET", "/healthz", None, 200, b"ok\n"),
        ]
        for method, path, body, status, answer in cases:
            with self.subTest(method=method, path=path):
                got_status, got_body = self.server.post(body, path=path, method=method)
                if status is not None:
                    self.assertEqual(got_status, status, got_body)
                if answer is not None:
                    self.assertEqual(got_body, answer)
        self.assertEqual(len(self.server.stored()), stored)
        # Rejects are kept by the writer after the answer, not before it: wait for both.
        deadline = time.monotonic() + 10
        while len(self.server.rejects()) < rejects + 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        kept = self.server.rejects()[rejects:]
        self.assertEqual([r[1] for r in kept], [garbage, b""])
        self.assertEqual(kept[0][0], "Param object has 1 fields, expected five")
        # A body of exactly the limit is read (and refused for what it is, not for its size).
        self.assertEqual(self.server.post(b"x" * 16384)[0], 400)

    def test_garbage_on_the_wire_gets_400_and_the_connection_closes(self):
        for raw in [b"GARBAGE\r\n\r\n", b"POST /stat/pc.php HTTP/1.1\r\nContent-Length: zz\r\n\r\n",
                    b"\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03" + bytes(64),
                    b"POST /stat/pc.php HTTP/1.1\r\nHost: x\r\nContent-Length: 999999999\r\n\r\n"]:
            with self.subTest(raw=raw[:30]):
                answer = self.server.raw(raw)
                self.assertRegex(answer, rb"^HTTP/1\.1 (400|413) ")
        self.assertEqual(self.server.post(b"")[0], 400, "still serving")

    def test_a_client_that_expects_100_continue_sends_its_body_after_it(self):
        body = param_body(ID, "continue", "", "app_start", "t")
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as s:
            s.sendall(b"POST /stat/pc.php HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                      b"Content-Length: %d\r\n\r\n" % len(body))
            self.assertEqual(s.recv(100), b"HTTP/1.1 100 Continue\r\n\r\n")
            s.sendall(body)
            answer = s.recv(1000)
        self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK\r\n") and answer.endswith(b"\r\n\r\nok"), answer)
        self.assertEqual(self.server.stored()[-1]["app"], "continue")

    def test_framing_the_server_cannot_trust_is_refused_and_the_connection_closed_before_the_body_runs(self):
        # The body would be a request of its own if the server read on after answering.
        smuggled = b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"
        cases = [
            (b"Transfer-Encoding: gzip\r\n", 501),
            (b"Transfer-Encoding: identity\r\n", 501),
            (b"Transfer-Encoding: xchunked\r\n", 501),
            (b"Transfer-Encoding: chunked, identity\r\n", 501),
            (b"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", 400),
            (b"Transfer-Encoding: gzip, chunked\r\n", 501),
            (b"Host: y\r\n", 400),
        ]
        for extra, status in cases:
            with self.subTest(extra=extra):
                answer = self.server.raw(b"POST /stat/pc.php HTTP/1.1\r\nHost: x\r\n" + extra + b"\r\n" + smuggled)
                self.assertTrue(answer.startswith(b"HTTP/1.1 %d " % status), answer)
                self.assertEqual(len(re.findall(rb"HTTP/1\.1 \d{3} ", answer)), 1, answer)
        answer = self.server.raw(b"GET /healthz HTTP/1.1\r\n\r\n" + smuggled)
        self.assertTrue(answer.startswith(b"HTTP/1.1 400 ") and len(re.findall(rb"HTTP/1\.1 \d{3} ", answer)) == 1, answer)
        # HTTP/1.0 had no Host header; a final chunked coding is what the library never sends but may.
        self.assertIn(b" 200 OK", self.server.raw(b"GET /healthz HTTP/1.0\r\n\r\n"))
        body = param_body(ID, "chunked", "", "app_start", "t")
        answer = self.server.raw(b"POST /stat/pc.php HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
                                 b"Connection: close\r\n\r\n%x\r\n%s\r\n0\r\n\r\n" % (len(body), body))
        self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK"), answer)

    def test_expect_100_continue_is_honoured_in_any_letter_case(self):
        for expect in [b"100-Continue", b"100-CONTINUE", b" 100-continue "]:
            with self.subTest(expect=expect), socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as s:
                s.sendall(b"POST /stat/pc.php HTTP/1.1\r\nHost: x\r\nExpect:" + expect + b"\r\nContent-Length: 5\r\n\r\n")
                self.assertEqual(s.recv(100), b"HTTP/1.1 100 Continue\r\n\r\n")

    def test_head_answers_the_get_routes_headers_without_a_body(self):
        connection = self.server.connect()
        try:
            for path, status in [("/healthz", 200), ("/api/v1/apps", 401), ("/stat/pc.php", 405), ("/nothing", 404)]:
                with self.subTest(path=path):
                    connection.request("GET" if status != 405 else "POST", path, body=b"" if status == 405 else None)
                    got = connection.getresponse()
                    get_body = got.read()
                    connection.request("HEAD", path)
                    head = connection.getresponse()
                    # http.client reads no body after a HEAD: a stray body would garble the next answer.
                    self.assertEqual(head.read(), b"")
                    if status == 405:
                        self.assertEqual((head.status, head.getheader("Allow")), (405, "POST"))
                        continue
                    self.assertEqual(head.status, got.status)
                    self.assertEqual(int(head.getheader("Content-Length")), len(get_body))
            connection.request("GET", "/healthz")
            self.assertEqual(connection.getresponse().read(), b"ok\n", "the connection still reads answers right")
        finally:
            connection.close()

    def test_keep_alive_serves_many_reports_on_one_connection(self):
        connection = self.server.connect()
        for n in range(20):
            connection.request("POST", "/stat/pc.php", body=param_body(ID, "keep", "", "click", str(n), action=True))
            response = connection.getresponse()
            self.assertEqual((response.status, response.read()), (200, b"ok"))
        connection.close()
        # Then on one connection: three requests in one segment, and one whose body lags its header.
        bodies = [param_body(ID, "keep", "", "click", str(n), action=True) for n in range(20, 24)]
        heads = [b"POST /stat/pc.php HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(b) for b in bodies]
        answers = b""
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=10) as s:
            s.sendall(b"".join(h + b for h, b in zip(heads[:3], bodies[:3])) + heads[3])
            time.sleep(0.2)
            s.sendall(bodies[3])
            while answers.count(b"\r\n\r\nok") < 4:
                answers += s.recv(4096) or self.fail(answers)
        self.assertEqual(answers.count(b"HTTP/1.1 200 OK\r\n"), 4, answers)
        contents = [r["content"] for r in self.server.stored() if r["app"] == "keep"]
        self.assertEqual(contents, [str(n) for n in range(24)])


class Options(unittest.TestCase):
    def test_gbk_hosts_are_read_with_legacy_charset_gbk(self):
        with IngestServer("--legacy-charset", "GBK") as server:
            body = param_body(ID, b"\xd6\xd0\xce\xc4", b"\xc7\xfe\xb5\xc0", b"\xb5\xe3", "\u00e9".encode("utf-8"),
                              action=True)
            self.assertEqual(server.post(body), (200, b"ok"))
            row = server.stored()[-1]
            self.assertEqual((row["app"], row["channel"], row["name"], row["content"]),
                             ("\u4e2d\u6587", "\u6e20\u9053", "\u70b9", "\u00e9"))

    def test_allow_apps_refuses_unlisted_keys_with_404(self):
        with IngestServer("--allow-apps", "alpha,beta") as server:
            self.assertEqual(server.post(param_body(ID, "beta", "", "app_start", "t")), (200, b"ok"))
            self.assertEqual(server.post(param_body(ID, "gamma", "", "app_start", "t"))[0], 404)
            self.assertEqual([r["app"] for r in server.stored()], ["beta"])

    def test_an_unknown_charset_or_a_taken_port_stops_the_start_with_a_reason(self):
        with IngestServer() as first:
            for args, reason in [(["--listen", "127.0.0.1:0", "--legacy-charset", "NO-SUCH"], "unknown legacy charset"),
                                 (["--listen", "127.0.0.1:%d" % first.port], "cannot listen")]:
                with tempfile.TemporaryDirectory() as data:
                    run = subprocess.run([SERVER, "--data", data] + args,
                                         capture_output=True, timeout=60)
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertIn(reason, run.stderr.decode())
                self.assertRegex(run.stderr.decode(), r"level=error event=fatal")

    def test_help_lists_every_flag(self):
        run = subprocess.run([SERVER, "--help"], capture_output=True, timeout=60, text=True)
        self.assertEqual(run.returncode, 0)
        for flag in ["--listen", "--data", "--store", "--legacy-charset", "--allow-apps", "--tls-cert", "--tls-key"]:
            self.assertIn(flag, run.stdout)

    def test_tls_serves_the_report_path_over_https(self):
        with tempfile.TemporaryDirectory() as keys:
            cert, key = os.path.join(keys, "cert.pem"), os.path.join(keys, "key.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                            "/CN=127.0.0.1", "-keyout", key, "-out", cert], capture_output=True, check=True)
            with IngestServer("--tls-cert", cert, "--tls-key", key) as server:
                context = ssl.create_default_context(cafile=cert)
                context.check_hostname = False
                connection = http.client.HTTPSConnection("127.0.0.1", server.port, context=context, timeout=30)
                connection.request("POST", "/stat/pc.php", body=param_body(ID, "tls", "", "app_start", "t"))
                response = connection.getresponse()
                self.assertEqual((response.status, response.read()), (200, b"ok"))
                connection.close()
                # Plain HTTP on the TLS port is not served.
                self.assertNotIn(b"200", server.raw(b"GET /healthz HTTP/1.1\r\n\r\n"))
                self.assertEqual([r["app"] for r in server.stored()], ["tls"])
                self.assertIn("scheme=https", server.log_text())


class Stopping(unittest.TestCase):
    def test_sigterm_answers_the_requests_in_flight_then_exits_0_with_a_stop_line(self):
        server = IngestServer().start()
        try:
            answers = []
            lock = threading.Lock()
            started = threading.Barrier(9)

            def client(n):
                connection = server.connect()
                started.wait()
                for i in range(30):
                    try:
                        connection.request("POST", "/stat/pc.php",
                                           body=param_body(ID, "stop", "", "c", "%d-%d" % (n, i), action=True))
                        response = connection.getresponse()
                        status = (response.status, response.read())
                    except (ConnectionError, http.client.HTTPException, OSError):
                        break
                    with lock:
                        answers.append(("%d-%d" % (n, i), status))
                    if response.getheader("Connection", "").lower() == "close":
                        break
                connection.close()

            threads = [threading.Thread(target=client, args=(n,)) for n in range(8)]
            for t in threads:
                t.start()
            started.wait()
            while len(answers) < 40 and any(t.is_alive() for t in threads):
                time.sleep(0.005)
            self.assertEqual(server.terminate(), 0)
            for t in threads:
                t.join()
            log = server.log_text()
            self.assertRegex(log, r"level=info event=stopping signal=SIGTERM")
            self.assertRegex(log, r"level=info event=stop committed=\d+")
            acknowledged = {c for c, status in answers if status == (200, b"ok")}
            stored = {r["content"] for r in server.stored()}
            self.assertTrue(acknowledged <= stored, acknowledged - stored)
            # A line per start and stop, none per report.
            self.assertGreaterEqual(len(acknowledged), 40)
            self.assertLess(len(log.splitlines()), 10, log)
        finally:
            server.close()


if __name__ == "__main__":
    unittest.main()
