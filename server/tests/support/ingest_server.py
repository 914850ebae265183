"""Runs the real tallyscope-server for the ingest tests and reads what it stored.

The server listens on a free loopback port (--listen 127.0.0.1:0) and says which in its start log
line; the stored reports are read straight from the store's tables, so a test sees what survived,
not what the server claims.
"""
import http.client
import os
import re
import signal
import socket
import sqlite3
import subprocess
import tempfile
import time

SERVER = os.environ.get("TALLYSCOPE_SERVER", "tallyscope-server")
KINDS = {0: "app-event", 1: "action", 2: "device-info"}
INVENTORY = ("pcosname", "mac", "pcosversion", "pcname", "pcusername", "windowssid", "pccpuid",
             "harddiskid", "mainboardcode")


def esc(value):
    """The client library's escaping of one 8-bit value: '%' and the safe characters stay."""
    safe = set(b"!'()*-./0123456789:ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz~%")
    if isinstance(value, str):
        value = value.encode("latin-1")
    return "".join(chr(b) if b in safe else "%%%02x" % b for b in value)


def param_body(device, key, channel, name, last, action=False):
    fourth, fifth = ("actionname", "actioncontent") if action else ("installtype", "time")
    fields = [("deviceid", device), ("appkey", key), ("channelid", channel), (fourth, name), (fifth, last)]
    return ("Param={" + ",".join("%%22%s%%22:%%22%s%%22" % (k, esc(v)) for k, v in fields) + "}").encode("ascii")


def device_body(device, key, channel, inventory):
    pairs = [("devicecode", device), ("appkey", key), ("channelid", channel)] + list(zip(INVENTORY, inventory))
    return "&".join("%s=%s" % (k, esc(v)) for k, v in pairs).encode("ascii")


class IngestServer:
    def __init__(self, *args, data_dir=None, store_url=None, port=0):
        self._own = tempfile.TemporaryDirectory(prefix="tallyscope-ingest-")
        self.data_dir = data_dir or os.path.join(self._own.name, "data")
        self.store_url = store_url
        self.args = list(args)
        self.requested_port = port
        self.process = None
        self.port = None
        self.log_path = os.path.join(self._own.name, "server.log")

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()

    def start(self):
        command = [SERVER, "--listen", "127.0.0.1:%d" % self.requested_port, "--data", self.data_dir] + self.args
        if self.store_url:
            command += ["--store", self.store_url]
        self._log = open(self.log_path, "ab")
        self._log_start = self._log.tell()
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            found = re.search(r"event=start listen=\S*:(\d+)", self.log_text(since_start=True))
            if found:
                self.port = int(found.group(1))
                self.requested_port = self.port  # a restart comes back on the same port
                return self
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        raise RuntimeError("tallyscope-server did not start:\n" + self.log_text())

    def log_text(self, since_start=False):
        with open(self.log_path, "rb") as f:
            if since_start:
                f.seek(self._log_start)
            return f.read().decode("utf-8", "replace")

    def terminate(self, timeout=30):
        """SIGTERM; returns the exit code."""
        self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(timeout=timeout)
        self._log.close()
        return code

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()
        self._log.close()

    def close(self):
        if self.process is not None and self.process.poll() is None:
            self.kill()
        self._own.cleanup()

    def connect(self, timeout=30):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def post(self, body, path="/stat/pc.php", method="POST", headers=None):
        """One request on a new connection, as the library posts; returns (status, body bytes)."""
        connection = self.connect()
        try:
            all_headers = {"Content-Type": "application/x-www-form-urlencoded"}
            all_headers.update(headers or {})
            connection.request(method, path, body=body, headers=all_headers)
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def raw(self, data, timeout=10):
        """Sends raw bytes on a new connection and returns everything answered until it closes."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
            s.sendall(data)
            out = b""
            while True:
                try:
                    chunk = s.recv(65536)
                except ConnectionResetError:
                    break
                if not chunk:
                    break
                out += chunk
            return out

    # -- what the store holds -------------------------------------------------------------------

    _QUERY = ("SELECT d.deviceid, s.value, r.kind, r.channel, r.name, r.content, " +
              ", ".join("r." + k for k in INVENTORY) + ", r.body FROM reports r"
              " JOIN strings s ON s.id = r.app JOIN devices d ON d.id = r.device ORDER BY r.id")

    def stored(self):
        """Every stored report as a dict, in arrival order."""
        db = sqlite3.connect("file:%s?mode=ro" % os.path.join(self.data_dir, "tallyscope.db"), uri=True)
        try:
            rows = db.execute(self._QUERY).fetchall()
        finally:
            db.close()
        out = []
        for row in rows:
            out.append({"device": row[0], "app": row[1], "kind": KINDS[row[2]], "channel": row[3], "name": row[4],
                        "content": row[5], "inventory": tuple(v or "" for v in row[6:15]), "body": bytes(row[15])})
        return out

    def rejects(self):
        db = sqlite3.connect("file:%s?mode=ro" % os.path.join(self.data_dir, "tallyscope.db"), uri=True)
        try:
            return db.execute("SELECT reason, body FROM rejects ORDER BY id").fetchall()
        finally:
            db.close()
