"""Runs the real tallyscope-server for the ingest tests and reads what it stored.

The server listens on a free loopback port (--listen 127.0.0.1:0) and says which in its start log
line; the stored reports are read straight from the store's tables, so a test sees what survived,
not what the server claims.
"""
import http.client
import json
import os
import re
import signal
import socket
import sqlite3
import subprocess
import tempfile
import time
import urllib.parse

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

    def stored(self):
        """Every stored report as a dict, in arrival order."""
        return stored_reports(os.path.join(self.data_dir, "tallyscope.db"))


    def rejects(self):
        db = sqlite3.connect("file:%s?mode=ro" % os.path.join(self.data_dir, "tallyscope.db"), uri=True)
        try:
            return db.execute("SELECT reason, body FROM rejects ORDER BY id").fetchall()
        finally:
            db.close()


def _varint(data, at):
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, at


def _texts(data, count):
    out, at = [], 0
    for _ in range(count):
        n, at = _varint(data, at)
        out.append(bytes(data[at:at + n]))
        at += n
    return out


_DEVICE_KEYS = ("devicecode", "appkey", "channelid") + INVENTORY


def _body(kind, values):
    """The body template the store rebuilds a packed report with."""
    if kind == 2:
        return b"&".join(k.encode() + b"=" + v for k, v in zip(_DEVICE_KEYS, values))
    keys = ("deviceid", "appkey", "channelid") + (("actionname", "actioncontent") if kind == 1 else ("installtype", "time"))
    return b"Param={" + b",".join(b"%22" + k.encode() + b"%22:%22" + v + b"%22" for k, v in zip(keys, values)) + b"}"


def stored_reports(path):
    """Every report in the SQLite store at `path` as a dict, in arrival order: read from its tables
    (a packed report's values rebuilt into its body), so a test sees what survived."""
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
    try:
        strings = dict(db.execute("SELECT id, value FROM strings"))
        rows = db.execute("SELECT d.deviceid, s.value, r.kind, r.parts, r.body, r.texts, r.arrived_ms FROM reports r"
                          " JOIN strings s ON s.id = r.app JOIN devices d ON d.id = r.device ORDER BY r.id").fetchall()
    finally:
        db.close()
    return _unpacked(strings, rows)


def postgres_reports(url):
    """Every report in the PostgreSQL store at `url`, as stored_reports gives them."""
    out = subprocess.run(["psql", url, "-At", "-c", "SELECT json_build_object('strings', (SELECT json_object_agg(id, value)"
                          " FROM strings), 'rows', (SELECT json_agg(json_build_array(d.deviceid, s.value, r.kind,"
                          " encode(r.parts, 'hex'), encode(r.body, 'hex'), encode(r.texts, 'hex'), r.arrived_ms) ORDER BY r.id)"
                          " FROM reports r JOIN strings s ON s.id = r.app JOIN devices d ON d.id = r.device))"],
                         capture_output=True, text=True, check=True)
    stored = json.loads(out.stdout)
    unhex = lambda h: None if h is None else bytes.fromhex(h)
    return _unpacked({int(k): v for k, v in (stored["strings"] or {}).items()},
                     [(d, a, k, unhex(p), unhex(b), unhex(t), ms) for d, a, k, p, b, t, ms in stored["rows"] or []])


def _unpacked(strings, rows):
    out = []
    for device, app, kind, parts, body, texts, arrived_ms in rows:
        if parts is None:
            decoded = [t.decode("utf-8") for t in _texts(texts, 12)]
        else:
            count, at = _varint(parts, 0)
            values = []
            for _ in range(count):
                tag, at = _varint(parts, at)
                if tag == 0:
                    n, at = _varint(parts, at)
                    values.append(bytes(parts[at:at + n]))
                    at += n
                elif tag == 3:  # an app event's client time, in seconds from the arrival
                    n, at = _varint(parts, at)
                    seconds = (n >> 1 ^ -(n & 1)) + arrived_ms // 1000
                    values.append(time.strftime("%Y-%m-%d%%20%H:%M:%S", time.gmtime(seconds)).encode("ascii"))
                else:
                    values.append((device if tag == 1 else app if tag == 2 else strings[tag - 4]).encode("utf-8"))
            body = _body(kind, values)
            plain = [urllib.parse.unquote_to_bytes(v).decode("utf-8") for v in values[2:]] + [""] * 10
            decoded = [plain[0], "", ""] + plain[1:10] if kind == 2 else plain[:3] + [""] * 9
        out.append({"device": device, "app": app, "kind": KINDS[kind], "channel": decoded[0], "name": decoded[1],
                    "content": decoded[2], "inventory": tuple(decoded[3:12]), "body": bytes(body)})
    return out
