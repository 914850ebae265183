"""The ingest fixture's real server, seen from the query API and dashboard side.

Adds what those tests need: the access token the server printed the place of, report bodies built
from plain values (escaped by the ingest fixture as the library escapes them), and HTTP helpers
that never follow redirects, so every test sees the status the server answered.
"""
import http.client
import json
import re
import urllib.parse

from ingest_server import SERVER, IngestServer, device_body, param_body

__all__ = ["SERVER", "ApiServer", "app_event", "action", "device_info"]


def _bytes(value):
    # Values are given as text and posted as UTF-8, as a host on a UTF-8 code page sends them.
    return value.encode("utf-8")


def app_event(device, appkey, channel, name, client_time="2026-12-08 10:00:00"):
    return param_body(_bytes(device), _bytes(appkey), _bytes(channel), _bytes(name), _bytes(client_time)).decode()


def action(device, appkey, channel, name, content):
    return param_body(_bytes(device), _bytes(appkey), _bytes(channel), _bytes(name), _bytes(content),
                      action=True).decode()


def device_info(device, appkey, channel, osname="Windows 10 Pro", osversion="10.0.19045"):
    inventory = [osname, "00:11:22:33:44:55", osversion, "PC", "PC\\user", "S-1-5-21", "ABCDEF", "HD1", "N/A"]
    return device_body(_bytes(device), _bytes(appkey), _bytes(channel), [_bytes(v) for v in inventory]).decode()


class Answer:
    def __init__(self, response, body):
        self.status = response.status
        self.headers = response.headers
        self.body = body

    def json(self):
        return json.loads(self.body.decode("utf-8"))

    def header_all(self, name):
        return self.headers.get_all(name) or []


class ApiServer(IngestServer):
    """A started server; `token` and `token_file` are its access token and where it lives."""

    def __init__(self, extra_args=(), data_dir=None, token_file=None):
        args = list(extra_args) + (["--token-file", token_file] if token_file else [])
        super().__init__(*args, data_dir=data_dir)
        self.start()
        found = re.search(r"event=access_token file=(\S+)", self.log_text(since_start=True))
        if not found:
            self.close()
            raise RuntimeError("tallyscope-server did not say where its access token is")
        self.token_file = found.group(1)
        with open(self.token_file, encoding="ascii") as f:
            self.token = f.read().strip()

    @property
    def base(self):
        return "http://127.0.0.1:%d" % self.port

    def request(self, method, path, body=None, headers=None, token=None, cookie=None, source=None):
        """`source`: the loopback address to send from (any of 127.0.0.0/8), as another client would."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60,
                                                source_address=(source, 0) if source else None)
        all_headers = dict(headers or {})
        if token is not None:
            all_headers["Authorization"] = "Bearer " + token
        if cookie is not None:
            all_headers["Cookie"] = cookie
        if isinstance(body, str):
            body = body.encode("utf-8")
        try:
            connection.request(method, path, body=body, headers=all_headers)
            response = connection.getresponse()
            return Answer(response, response.read())
        finally:
            connection.close()

    def get(self, path, **kwargs):
        kwargs.setdefault("token", self.token)
        return self.request("GET", path, **kwargs)

    def get_json(self, path, **params):
        query = urllib.parse.urlencode(params)
        answer = self.get(path + ("?" + query if query else ""))
        if answer.status != 200:
            raise AssertionError("%s -> %d %s" % (path, answer.status, answer.body[:300]))
        return answer.json()

    def post_report(self, body):
        status, answer = self.post(body.encode("ascii"))
        if status != 200 or answer != b"ok":
            raise AssertionError("report refused: %d %r for %s" % (status, answer, body))

    def sign_in(self, token=None, source=None):
        """The session cookie the sign-in form gives, as 'name=value'."""
        answer = self.request("POST", "/signin", body="token=" + urllib.parse.quote(token or self.token),
                              headers={"Content-Type": "application/x-www-form-urlencoded"}, source=source)
        if answer.status != 303:
            raise AssertionError("sign-in refused: %d" % answer.status)
        return answer.header_all("Set-Cookie")[0].split(";")[0]

    def stop(self):
        self.close()
