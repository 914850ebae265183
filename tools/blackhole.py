#!/usr/bin/env python3
"""Hostile loopback servers: what a client meets when the statistics server is down or broken.

    blackhole.py MODE [--port PORT]

Once ready, prints "listening on 127.0.0.1:PORT" and flushes it (with --port 0, a free port is
taken), then serves until it is terminated. Every connection it accepts is counted on standard
error as "accepted N", so a test can see whether a client came at all.

Modes:
    refuse    nothing listens on the port: connection attempts are refused at once
    backlog   a socket listens with backlog 0 and never accepts; its queue is filled first, so
              further connection attempts are dropped and the client's connect times out
    silent    accepts, reads whatever comes and never answers
    trickle   accepts, reads the request and answers "HTTP/1.1 200 OK" with a short body, one
              byte a second
    reset     accepts, reads the request, sends the status line "HTTP/1.1 200 OK" and resets the
              connection before any header follows
    headers   accepts, reads the request and answers 200 with about --megabytes MiB of header
              lines: "charset=" matches and distinct Set-Cookie lines
Loopback only: nothing here may be reachable from outside.
"""

import argparse
import select
import socket
import struct
import sys
import threading
import time

HOST = "127.0.0.1"


def counted(conn):
    counted.n += 1
    sys.stderr.write("accepted %d\n" % counted.n)
    sys.stderr.flush()
    return conn


counted.n = 0


def read_request(conn, wait=5.0):
    """Reads until the header block and a little of the body arrived, or the client stops sending."""
    conn.settimeout(wait)
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                return data
            data += chunk
        conn.settimeout(0.2)
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    return data


def reset(conn):
    """Closes with an RST instead of an orderly FIN."""
    try:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    conn.close()


def serve_silent(conn):
    conn.settimeout(None)
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass
    conn.close()


def serve_trickle(conn):
    read_request(conn)
    answer = b"HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\nslow answer, a byte a second"
    try:
        for i in range(len(answer)):
            conn.sendall(answer[i:i + 1])
            time.sleep(1.0)
    except OSError:
        pass
    conn.close()


def serve_reset(conn):
    read_request(conn)
    try:
        conn.sendall(b"HTTP/1.1 200 OK\r\n")
        time.sleep(0.05)
    except OSError:
        pass
    reset(conn)


def serve_headers(conn, megabytes):
    read_request(conn)
    lines = [b"HTTP/1.1 200 OK\r\n"]
    size = 0
    n = 0
    limit = int(megabytes * (1 << 20))
    while size < limit:
        line = (b"X-Type: text/html; charset=utf-8; charset=UTF-8\r\n" if n % 2 == 0
                else b"Set-Cookie: c%d=%d; path=/\r\n" % (n, n))
        lines.append(line)
        size += len(line)
        n += 1
    lines.append(b"Content-Length: 2\r\n\r\nok")
    try:
        conn.sendall(b"".join(lines))
        time.sleep(0.5)
    except OSError:
        pass
    conn.close()


def accept_loop(listener, serve):
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(counted(conn),), daemon=True).start()


def begin_connect(port):
    """A socket whose connection to port is started but not waited for."""
    s = socket.socket()
    s.setblocking(False)
    try:
        s.connect((HOST, port))
    except BlockingIOError:
        pass
    return s


def fill_backlog(port):
    """Connections that take every place of a backlog-0 queue, so the next SYN is dropped."""
    fillers = [begin_connect(port) for _ in range(8)]
    time.sleep(0.3)
    # A place is taken once the handshake completed; keep going until one attempt stays pending.
    for _ in range(20):
        probe = begin_connect(port)
        _, writable, _ = select.select([], [probe], [], 0.5)
        fillers.append(probe)
        if not writable:
            break
    return fillers


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=["refuse", "backlog", "silent", "trickle", "reset", "headers"])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--megabytes", type=float, default=1.0, help="header size for the headers mode")
    args = parser.parse_args(argv)

    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((HOST, args.port))
    port = listener.getsockname()[1]
    keep = []
    if args.mode == "refuse":
        # The port stays bound (so nobody else takes it) but never listens: a SYN gets an RST.
        pass
    elif args.mode == "backlog":
        listener.listen(0)
        keep = fill_backlog(port)
    else:
        listener.listen(64)
        serve = {"silent": serve_silent, "trickle": serve_trickle, "reset": serve_reset,
                 "headers": lambda c: serve_headers(c, args.megabytes)}[args.mode]
        threading.Thread(target=accept_loop, args=(listener, serve), daemon=True).start()
    print("listening on %s:%d" % (HOST, port), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        for s in keep:
            s.close()
        listener.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
