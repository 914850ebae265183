"""A tallyscope-server of its own for the query API and dashboard tests.

Starts the real binary on a free loopback port with a fresh data folder, reads the access token it
printed the place of, and offers small HTTP helpers that never follow redirects, so every test sees
the status the server answered.
"""
import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.parse

SERVER = os.environ.get("TALLYSCOPE_SERVER", "tallyscope-server")


def escape(value):
    """A value escaped as the library escapes it: lower-case %xx for every byte but letters, digits
    and !'()*-./:_~, and '%' left as it is."""
    safe = set(b"!'()*-./:_~%") | set(range(48, 58)) | set(range(65, 91)) | set(range(97, 123))
    return "".join(chr(b) if b in safe else "%%%02x" % b for b in value.encode("utf-8"))


def _param(pairs):
    return "Param={" + ",".join("%22" + k + "%22:%22" + escape(v) + "%22" for k, v in pairs) + "}"


def app_event(device, appkey, channel, name, client_time="2026-12-08 10:00:00"):
    return _param([("deviceid", device), ("appkey", appkey), ("channelid", channel), ("installtype", name),
                   ("time", client_time)])


def action(device, appkey, channel, name, content):
    return _param([("deviceid", device), ("appkey", appkey), ("channelid", channel), ("actionname", name),
                   ("actioncontent", content)])


def device_info(device, appkey, channel, osname="Windows 10 Pro", osversion="10.0.19045"):
    values = [("devicecode", device), ("appkey", appkey), ("channelid", channel), ("pcosname", osname),
              ("mac", "00:11:22:33:44:55"), ("pcosversion", osversion), ("pcname", "PC"),
              ("pcusername", "PC\\user"), ("windowssid", "S-1-5-21"), ("pccpuid", "ABCDEF"),
              ("harddiskid", "HD1"), ("mainboardcode", "N/A")]
    return "&".join(k + "=" + escape(v) for k, v in values)


class Answer:
    def __init__(self, response, body):
        self.status = response.status
        self.headers = response.headers
        self.body = body

    def json(self):
        return json.loads(self.body.decode("utf-8"))

    def header_all(self, name):
        return self.headers.get_all(name) or []


class ApiServer:
    def __init__(self, extra_args=(), data_dir=None, token_file=None):
        self.own_dir = tempfile.mkdtemp(prefix="tallyscope-api-")
        self.data_dir = data_dir or os.path.join(self.own_dir, "data")
        args = [SERVER, "--listen", "127.0.0.1:0", "--data", self.data_dir]
        if token_file:
            args += ["--token-file", token_file]
        self.log_path = os.path.join(self.own_dir, "server.log")
        self.log = open(self.log_path, "w+b")
        self.process = subprocess.Popen(args + list(extra_args), stdin=subprocess.DEVNULL,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        self.port = None
        self.token_file = None
        while time.monotonic() < deadline and (self.port is None or self.token_file is None):
            text = self.log_text()
            listen = re.search(r"event=start listen=\S*:(\d+)", text)
            token = re.search(r"event=access_token file=(\S+)", text)
            if listen:
                self.port = int(listen.group(1))
            if token:
                self.token_file = token.group(1)
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        if self.port is None or self.token_file is None:
            text = self.log_text()
            self.stop()
            raise RuntimeError("tallyscope-server did not start:\n" + text)
        with open(self.token_file, encoding="ascii") as f:
            self.token = f.read().strip()

    def log_text(self):
        self.log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    @property
    def base(self):
        return "http://127.0.0.1:%d" % self.port

    def request(self, method, path, body=None, headers=None, token=None, cookie=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        all_headers = dict(headers or {})
        if token is not None:
            all_headers["Authorization"] = "Bearer " + token
        if cookie is not None:
            all_headers["Cookie"] = cookie
        if isinstance(body, str):
            body = body.encode("utf-8")
        connection.request(method, path, body=body, headers=all_headers)
        response = connection.getresponse()
        answer = Answer(response, response.read())
        connection.close()
        return answer

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
        answer = self.request("POST", "/stat/pc.php", body=body,
                              headers={"Content-Type": "application/x-www-form-urlencoded"})
        if answer.status != 200 or answer.body != b"ok":
            raise AssertionError("report refused: %d %r for %s" % (answer.status, answer.body, body))

    def sign_in(self, token=None):
        """The session cookie the sign-in form gives, as 'name=value'."""
        answer = self.request("POST", "/signin", body="token=" + urllib.parse.quote(token or self.token),
                              headers={"Content-Type": "application/x-www-form-urlencoded"})
        if answer.status != 303:
            raise AssertionError("sign-in refused: %d" % answer.status)
        return answer.header_all("Set-Cookie")[0].split(";")[0]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        shutil.rmtree(self.own_dir, ignore_errors=True)
