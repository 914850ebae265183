"""Clients that hold connections, trickle bytes, send garbage or too much, all at once, while good
clients post reports: the good ones are all served, the bad ones are cut off at the time-out."""
import resource
import socket
import threading
import time
import unittest

from ingest_server import IngestServer, param_body

ID = "0123456789ABCDEF0123456789ABCDEF"
TIMEOUT_MS = 1500


def closed_by_server(s):
    """True when the server ends the connection within 10 s (whatever it answered first)."""
    s.settimeout(10)
    try:
        while s.recv(4096):
            pass
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


class HostileClients(unittest.TestCase):
    def test_good_clients_are_served_while_thousands_idle_and_slow_and_garbage_clients_hang_on(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
        with IngestServer("--request-timeout-ms", str(TIMEOUT_MS)) as server:
            address = ("127.0.0.1", server.port)
            idle = []
            for _ in range(2000):
                s = socket.create_connection(address, timeout=10)
                idle.append(s)
            # Started a request and never finished it: a header cut short, a body promised and not sent.
            partial = []
            for raw in [b"POST /stat/pc.php HTTP/1.1\r\nHost: x\r\nContent-Le",
                        b"POST /stat/pc.php HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\nParam={"] * 50:
                s = socket.create_connection(address, timeout=10)
                s.sendall(raw)
                partial.append(s)

            stop = threading.Event()
            trickled = []

            def slow_client():
                # One byte every 200 ms: always active, never done.
                s = socket.create_connection(address, timeout=10)
                trickled.append(s)
                request = b"POST /stat/pc.php HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n" + b"X-Pad: y\r\n" * 1000
                try:
                    for byte in request:
                        if stop.is_set():
                            break
                        s.send(bytes([byte]))
                        time.sleep(0.2)
                except OSError:
                    pass

            def garbage_client():
                while not stop.is_set():
                    for raw in [b"\x00\xff" * 100 + b"\r\n\r\n", b"GET " + b"/a" * 5000 + b" HTTP/1.1\r\n\r\n",
                                b"POST /stat/pc.php HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n" + b"z" * 60000]:
                        try:
                            with socket.create_connection(address, timeout=10) as s:
                                s.sendall(raw)
                                s.recv(100)
                        except OSError:
                            pass

            bad = [threading.Thread(target=slow_client) for _ in range(20)]
            bad += [threading.Thread(target=garbage_client) for _ in range(2)]
            for t in bad:
                t.start()

            acknowledged = []
            failures = []

            def good_client(n):
                for i in range(25):
                    try:
                        answer = server.post(param_body(ID, "good", "", "click", "%d-%d" % (n, i), action=True))
                    except OSError as e:
                        failures.append(repr(e))
                        continue
                    if answer == (200, b"ok"):
                        acknowledged.append("%d-%d" % (n, i))
                    else:
                        failures.append(answer)

            good = [threading.Thread(target=good_client, args=(n,)) for n in range(8)]
            started = time.monotonic()
            for t in good:
                t.start()
            for t in good:
                t.join()
            served_in = time.monotonic() - started
            stop.set()
            for t in bad:
                t.join()

            self.assertEqual(failures, [])
            self.assertEqual(len(acknowledged), 200)
            stored = [r["content"] for r in server.stored() if r["app"] == "good"]
            self.assertEqual(sorted(stored), sorted(acknowledged))

            # Every idle or unfinished connection is closed by the server once its time-out passed.
            time.sleep(max(0.0, TIMEOUT_MS / 1000 + 3 - served_in))
            for s in idle[:200] + partial:
                self.assertTrue(closed_by_server(s), "connection still open after the time-out")
            for s in idle + partial + trickled:
                s.close()
            self.assertEqual(server.post(b"")[0], 400, "still serving")
            self.assertIsNone(server.process.poll())


if __name__ == "__main__":
    unittest.main()
