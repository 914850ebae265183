"""Starts the loopback collector for a test, sets its answers and reads what it recorded."""

import collections
import contextlib
import json
import os
import socket
import sqlite3
import subprocess
import sys
import tempfile

SOURCE = os.environ.get("TALLYSCOPE_SOURCE") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
COLLECTOR = os.path.join(SOURCE, "tools", "collector.py")

Record = collections.namedtuple(
    "Record", "seq connection method target version request_line header_lines body outcome")


def stat_port():
    """The loopback port the DLL under test posts to (its build's statistics server)."""
    import unittest
    host, _, port = os.environ.get("TALLYSCOPE_STAT_HOST", "127.0.0.1:18765").rpartition(":")
    if host != "127.0.0.1" or not port.isdigit():
        raise unittest.SkipTest("the DLL posts to %s:%s, not to a loopback port" % (host, port))
    return int(port)


@contextlib.contextmanager
def running_stat_collector():
    """A collector on the port the DLL under test posts to, speaking the scheme the DLL was built
    for. With https, its certificate authority is trusted by the Wine prefix while it runs, so the
    DLL's ordinary certificate checks pass."""
    https = os.environ.get("TALLYSCOPE_STAT_SCHEME", "http") == "https"
    with Collector(port=stat_port(), tls=https, ca=https) as collector:
        if not https:
            yield collector
            return
        from wine_run import run_program
        if run_program("post_probe", ["trust", collector.ca_path]).stdout != "trust=1\n":
            raise RuntimeError("the prefix does not take the test's certificate authority")
        try:
            yield collector
        finally:
            run_program("post_probe", ["distrust", collector.ca_path])


def stat_collector(test):
    """running_stat_collector for the whole of one test."""
    running = running_stat_collector()
    collector = running.__enter__()
    test.addCleanup(running.__exit__, None, None, None)
    return collector


def end_server_process(process):
    """Stops a loopback server started with a piped standard output, killing it if it lingers."""
    if process is None:
        return
    process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    process.stdout.close()


def closed_port():
    """A loopback port with nothing listening on it (taken free, then released)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def header_values(record, name):
    """Values of every header line called name (any letter case), as sent."""
    out = []
    for line in record.header_lines:
        key, sep, value = line.partition(b":")
        if sep and key.lower() == name.lower().encode("ascii"):
            out.append(value.strip())
    return out


class Collector:
    """One collector process on a free loopback port (or the given one), with its own database."""

    def __init__(self, port=0, tls=False, quick_ack=True, ca=False):
        """tls serves https with a self-signed certificate; with ca as well, the certificate is
        issued by a certificate authority of the test's own, kept in ca_path for the test to trust."""
        self._tls = tls
        self._ca = ca
        self.ca_path = None
        self._quick_ack = quick_ack
        self._dir = tempfile.TemporaryDirectory(prefix="tallyscope-collector-")
        self.db_path = os.path.join(self._dir.name, "requests.sqlite")
        self.control_path = os.path.join(self._dir.name, "control.json")
        self._requested_port = port
        self._process = None
        self._log = None
        self.port = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    @property
    def host(self):
        return "127.0.0.1:%d" % self.port

    @property
    def url(self):
        return "%s://%s/stat/pc.php" % ("https" if self._tls else "http", self.host)

    def start(self):
        self._log = open(os.path.join(self._dir.name, "collector.log"), "wb")
        command = [sys.executable, COLLECTOR, "--port", str(self._requested_port), "--db", self.db_path,
                   "--control", self.control_path]
        if self._tls:
            command += self._make_certificate()
        if not self._quick_ack:
            command.append("--no-quick-ack")
        self._process = subprocess.Popen(
            command,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self._log)
        line = self._process.stdout.readline().decode("ascii", "replace").strip()
        if not line.startswith("listening on 127.0.0.1:"):
            self.stop()
            raise RuntimeError("collector did not start: %r" % line)
        self.port = int(line.rsplit(":", 1)[1])

    def _make_certificate(self):
        """A certificate for 127.0.0.1: self-signed, which no trust store knows, or issued by the
        test's own certificate authority."""
        d = self._dir.name
        cert, key = os.path.join(d, "cert.pem"), os.path.join(d, "key.pem")

        def openssl(*args):
            subprocess.run(["openssl", *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=True)

        if not self._ca:
            openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert)
            return ["--tls-cert", cert, "--tls-key", key]
        self.ca_path, ca_key = os.path.join(d, "ca.pem"), os.path.join(d, "ca-key.pem")
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=TallyScope test CA",
                "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                "-keyout", ca_key, "-out", self.ca_path)
        request = os.path.join(d, "request.csr")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", request)
        extensions = os.path.join(d, "server.ext")
        with open(extensions, "w") as f:
            f.write("basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                    "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\n")
        openssl("x509", "-req", "-in", request, "-CA", self.ca_path, "-CAkey", ca_key, "-CAcreateserial",
                "-days", "2", "-extfile", extensions, "-out", cert)
        return ["--tls-cert", cert, "--tls-key", key]

    def stop(self):
        end_server_process(self._process)
        self._process = None
        if self._log is not None:
            self._log.close()
            self._log = None
        self._dir.cleanup()

    def set_answers(self, *answers, files=None):
        """Answers for the coming requests in order, the last one repeating (see tools/collector.py)."""
        config = {"answers": list(answers) or [{}], "files": files or {}}
        temp = self.control_path + ".new"
        with open(temp, "w", encoding="utf-8") as f:
            json.dump(config, f)
        os.replace(temp, self.control_path)

    def records(self):
        if not os.path.exists(self.db_path):
            return []
        db = sqlite3.connect(self.db_path)
        try:
            rows = db.execute(
                "SELECT seq, connection, method, target, version, request_line, header_block, body, outcome"
                " FROM requests ORDER BY seq").fetchall()
        finally:
            db.close()
        out = []
        for seq, connection, method, target, version, request_line, header_block, body, outcome in rows:
            lines = [line for line in bytes(header_block).split(b"\r\n") if line]
            out.append(Record(seq, connection, method, target, version, bytes(request_line), lines, bytes(body),
                              outcome))
        return out

    def posts(self):
        return [r for r in self.records() if r.method == "POST"]
