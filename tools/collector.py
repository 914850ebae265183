#!/usr/bin/env python3
"""Loopback collection server for TallyScope reports.

Answers POST /stat/pc.php on 127.0.0.1 and records every request whole (request line, header lines
exactly as sent, body bytes, arrival order) in a SQLite file, so tests and the demo can look at what
the library put on the wire.

    collector.py --port 18765 --db reports.sqlite [--control answers.json]
    collector.py --print-reports --db reports.sqlite

With --port 0 a free port is taken. Once listening, the server prints one line
"listening on 127.0.0.1:PORT" and flushes it.

The control file (JSON, re-read for every request, so a test can change it between runs) says how
to answer:

    {"answers": [ANSWER, ...], "files": {"/proxy.pac": {"body": "...", "headers": [[name, value]]}}}

The n-th request to the collection script gets ANSWER n; the last one repeats. An ANSWER is
    {"status": 200, "reason": "OK", "headers": [["Content-Type", "text/html"]],
     "body": "text" | "body_hex": "00ff", "delay": 0.0, "close": false, "content_length": true}
"close": true reads the request and closes the connection without answering. "content_length":
false leaves the Content-Length header out and ends the answer by closing the connection.
"cut_after": N announces the whole body but sends only its first N bytes, then closes. Without
a control file every request gets 200 OK with the body "ok". A request in proxy form (absolute URL
in the request line) is recorded and answered the same way. GET requests are answered from "files";
anything else gets 404.
"""

import argparse
import json
import os
import socket
import socketserver
import sqlite3
import ssl
import sys
import threading
import time
import urllib.parse

COLLECTION_PATH = "/stat/pc.php"
MAX_HEADER_BYTES = 65536
MAX_BODY_BYTES = 16 * 1024 * 1024

SCHEMA = """
CREATE TABLE IF NOT EXISTS requests (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    arrived REAL NOT NULL,
    connection INTEGER NOT NULL,
    method TEXT NOT NULL,
    target TEXT NOT NULL,
    version TEXT NOT NULL,
    request_line BLOB NOT NULL,
    header_block BLOB NOT NULL,
    body BLOB NOT NULL,
    outcome TEXT NOT NULL
)
"""


class Recorder:
    def __init__(self, path):
        self._lock = threading.Lock()
        self._db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self._db.execute("PRAGMA journal_mode=WAL")
        self._db.execute(SCHEMA)

    def record(self, **row):
        with self._lock:
            self._db.execute(
                "INSERT INTO requests (arrived, connection, method, target, version, request_line,"
                " header_block, body, outcome) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (time.time(), row["connection"], row["method"], row["target"], row["version"],
                 row["request_line"], row["header_block"], row["body"], row["outcome"]))


class Controller:
    """Reads the control file and counts the requests to the collection script."""

    def __init__(self, path):
        self._path = path
        self._lock = threading.Lock()
        self._served = 0

    def _load(self):
        if not self._path or not os.path.exists(self._path):
            return {}
        with open(self._path, "r", encoding="utf-8") as f:
            return json.load(f)

    def next_answer(self):
        config = self._load()
        answers = config.get("answers") or [{}]
        with self._lock:
            index = min(self._served, len(answers) - 1)
            self._served += 1
        return answers[index]

    def file(self, path):
        return self._load().get("files", {}).get(path)


def answer_body(answer):
    if "body_hex" in answer:
        return bytes.fromhex(answer["body_hex"])
    if "body_repeat" in answer:
        text, count = answer["body_repeat"]
        return (text * count).encode("latin-1")
    return answer.get("body", "ok").encode("utf-8")


def header_values(header_block, name):
    values = []
    for line in header_block.split(b"\r\n"):
        key, sep, value = line.partition(b":")
        if sep and key.strip().lower() == name.lower().encode("ascii"):
            values.append(value.strip())
    return values


class Handler(socketserver.StreamRequestHandler):
    connection_counter = 0
    counter_lock = threading.Lock()

    def setup(self):
        super().setup()
        with Handler.counter_lock:
            Handler.connection_counter += 1
            self.connection_id = Handler.connection_counter

    def handle(self):
        try:
            if isinstance(self.connection, ssl.SSLSocket):
                # Explicitly, so that a client that refuses the certificate shows up as a row and not
                # as a connection that simply ended.
                try:
                    self.connection.do_handshake()
                except OSError as error:
                    self.server.recorder.record(connection=self.connection_id, method="-", target="-",
                                                version="-", request_line=b"", header_block=b"", body=b"",
                                                outcome="tls: %s" % (getattr(error, "reason", None) or error))
                    return
                if not self._one_request():
                    # The handshake completed and the client left without a request: a client
                    # that checks the certificate after the handshake and refuses it.
                    self.server.recorder.record(connection=self.connection_id, method="-", target="-",
                                                version="-", request_line=b"", header_block=b"", body=b"",
                                                outcome="tls: no request after the handshake")
                    return
            while self._one_request():
                pass
        except ssl.SSLError as error:
            # Kept as a row of its own so a test can see that a client came and refused the
            # certificate (or the server refused the client).
            self.server.recorder.record(connection=self.connection_id, method="-", target="-", version="-",
                                        request_line=b"", header_block=b"", body=b"",
                                        outcome="tls: %s" % (error.reason or error))
        except OSError:
            pass

    def _quick_ack(self):
        if not self.server.quick_ack:
            return
        # WinHTTP writes the header block and the body in two small segments; with the client's
        # Nagle algorithm and this side's delayed ACK the body would wait ~40 ms for every report.
        if hasattr(socket, "TCP_QUICKACK"):
            try:
                self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
            except OSError:
                pass

    def _read_head(self):
        self._quick_ack()
        request_line = self.rfile.readline(MAX_HEADER_BYTES)
        if not request_line:
            return None
        lines = []
        total = len(request_line)
        while True:
            line = self.rfile.readline(MAX_HEADER_BYTES)
            total += len(line)
            if not line or line in (b"\r\n", b"\n") or total > MAX_HEADER_BYTES:
                break
            lines.append(line)
        return request_line, b"".join(lines)

    def _one_request(self):
        head = self._read_head()
        if head is None:
            return False
        request_line, header_block = head
        parts = request_line.decode("latin-1").split()
        method, target, version = (parts + ["", "", ""])[:3]

        lengths = header_values(header_block, "content-length")
        body = b""
        self._quick_ack()
        if len(lengths) == 1 and lengths[0].isdigit() and int(lengths[0]) <= MAX_BODY_BYTES:
            body = self.rfile.read(int(lengths[0]))
        malformed = len(lengths) > 1 or (lengths and not lengths[0].isdigit())

        path = urllib.parse.urlsplit(target).path if "://" in target else target.split("?")[0]
        server = self.server
        row = dict(connection=self.connection_id, method=method, target=target, version=version,
                   request_line=request_line, header_block=header_block, body=body)

        if malformed:
            server.recorder.record(outcome="400", **row)
            self._send(400, "Bad Request", [], b"bad Content-Length", True)
            return False
        if method == "POST" and path == COLLECTION_PATH:
            answer = server.controller.next_answer()
            if answer.get("close"):
                server.recorder.record(outcome="closed", **row)
                return False
            status = int(answer.get("status", 200))
            server.recorder.record(outcome=str(status), **row)
            delay = float(answer.get("delay", 0))
            if delay > 0:
                time.sleep(delay)
            with_length = answer.get("content_length", True)
            cut = answer.get("cut_after")
            self._send(status, answer.get("reason", "OK"), answer.get("headers", []), answer_body(answer),
                       with_length, cut)
            return with_length and cut is None
        if method == "GET":
            served = server.controller.file(path)
            if served is not None:
                server.recorder.record(outcome="200", **row)
                self._send(200, "OK", served.get("headers", []), served.get("body", "").encode("utf-8"), True)
                return True
        server.recorder.record(outcome="404", **row)
        self._send(404, "Not Found", [], b"not found", True)
        return True

    def _send(self, status, reason, headers, body, with_length, cut_after=None):
        out = ["HTTP/1.1 %d %s" % (status, reason)]
        for name, value in headers:
            out.append("%s: %s" % (name, value))
        if with_length:
            out.append("Content-Length: %d" % len(body))
        else:
            out.append("Connection: close")
        try:
            answer = ("\r\n".join(out) + "\r\n\r\n").encode("latin-1") + body
            if cut_after is not None:
                answer = answer[:len(answer) - len(body) + cut_after]
            self.wfile.write(answer)
            self.wfile.flush()
        except OSError:
            pass


class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port, recorder, controller, quick_ack=True):
        self.recorder = recorder
        self.controller = controller
        self.quick_ack = quick_ack
        # Loopback only: this server accepts anything and must never be reachable from outside.
        super().__init__(("127.0.0.1", port), Handler)


def decode_value(text):
    return urllib.parse.unquote_to_bytes(text).decode("cp1252", errors="replace")


def decode_report(body):
    """The fields of one report body, as (kind, [(key, value), ...])."""
    text = body.decode("latin-1")
    if text.startswith("Param={") and text.endswith("}"):
        inner = text[len("Param={"):-1]
        fields = []
        items = inner.split("%22,%22")
        for item in items:
            key, sep, value = item.partition("%22:%22")
            if not sep:
                return "unrecognised", [("body", text)]
            if key.startswith("%22"):
                key = key[3:]
            if value.endswith("%22") and item is items[-1]:
                value = value[:-3]
            fields.append((key, decode_value(value)))
        kind = "action" if any(k == "actionname" for k, _ in fields) else "app-event"
        return kind, fields
    if text.startswith("devicecode="):
        fields = []
        for pair in text.split("&"):
            key, _, value = pair.partition("=")
            fields.append((key, decode_value(value)))
        return "device-information", fields
    return "unrecognised", [("body", text)]


def print_reports(db_path, out=sys.stdout):
    db = sqlite3.connect(db_path)
    rows = db.execute("SELECT seq, arrived, method, target, body, outcome FROM requests ORDER BY seq").fetchall()
    count = 0
    for seq, arrived, method, target, body, outcome in rows:
        if method != "POST":
            continue
        count += 1
        kind, fields = decode_report(bytes(body))
        stamp = time.strftime("%H:%M:%S", time.localtime(arrived))
        out.write("#%d %s %s %s (%d bytes, answered %s)\n" % (seq, stamp, kind, target, len(body), outcome))
        width = max((len(k) for k, _ in fields), default=0)
        for key, value in fields:
            out.write(("    %-*s  %s" % (width, key, value)).rstrip() + "\n")
    out.write("%d report(s)\n" % count)
    return count


def main(argv=None):
    parser = argparse.ArgumentParser(description="Loopback collection server for TallyScope reports")
    parser.add_argument("--port", type=int, default=18765, help="port on 127.0.0.1 (0: any free port)")
    parser.add_argument("--db", required=True, help="SQLite file the requests are recorded in")
    parser.add_argument("--control", help="JSON file that says how to answer (see the module text)")
    parser.add_argument("--tls-cert", help="serve https with this PEM certificate (needs --tls-key)")
    parser.add_argument("--tls-key", help="PEM private key of --tls-cert")
    parser.add_argument("--no-quick-ack", action="store_true",
                        help="acknowledge with the kernel's usual delay, like most servers")
    parser.add_argument("--print-reports", action="store_true", help="print the recorded reports and exit")
    args = parser.parse_args(argv)

    if args.print_reports:
        print_reports(args.db)
        return 0

    server = Server(args.port, Recorder(args.db), Controller(args.control), quick_ack=not args.no_quick_ack)
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    print("listening on 127.0.0.1:%d" % server.server_address[1], flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
