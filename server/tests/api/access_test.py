"""Who may do what, through the real binary: two servers sharing one PostgreSQL, every route with
every kind of caller (admin and viewer tokens, a revoked token, a signed-out session, share links
valid, expired and revoked), revocations seen by the other server at once, the audit log, the
cross-origin check, the failed-attempt limit behind trusted and untrusted proxies, and the CSV
export's formula neutralisation with the import round trip intact."""
import csv
import http.client
import io
import json
import os
import sqlite3
import subprocess
import tempfile
import time
import unittest
import urllib.parse

from api_server import SERVER, ApiServer, action, app_event
from pg_cluster import PG_BIN, PG_USER, PostgresCluster, _as_pg

APP = "access-app"
OTHER = "access-other"
D1 = "0123456789ABCDEF0123456789ABCDE1"
D2 = "0123456789ABCDEF0123456789ABCDE2"
FORMULAS = ["=HYPERLINK(\"http://x\",\"y\")", "+1+cmd|' /C calc'!A0", "-2+3", "@SUM(A1)", "\t=1+1", "\r=1+1"]
FORM = {"Content-Type": "application/x-www-form-urlencoded"}


def quoted(appkey):
    return urllib.parse.quote(appkey, safe="")


def raw_quote_action(device, appkey, content):
    """An action whose content holds a raw '"': the body field then needs "" in the CSV."""
    body = action(device, appkey, "", "Quote", "QQ")
    return body.replace("%22QQ%22", "%22" + content + "%22")


class AccessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory(prefix="tallyscope-access-")
        cls.token_file = os.path.join(cls.work.name, "owner-token")
        with open(cls.token_file, "w") as f:
            f.write("owner-" + os.urandom(16).hex() + "\n")
        cls.pg = PostgresCluster().start()
        cls.a = ApiServer(["--store", cls.pg.url], token_file=cls.token_file)
        cls.b = ApiServer(["--store", cls.pg.url], token_file=cls.token_file)
        for body in [app_event(D1, APP, "store", "app_start"), action(D1, APP, "store", "Open", "x"),
                     app_event(D2, OTHER, "", "app_start"), raw_quote_action(D1, APP, 'say "hi" twice')]:
            cls.a.post_report(body)
        for content in FORMULAS:
            cls.a.post_report(action(D2, APP, content, content, content))

    @classmethod
    def tearDownClass(cls):
        cls.a.stop()
        cls.b.stop()
        cls.pg.stop()
        cls.work.cleanup()

    def psql(self, sql):
        _as_pg([PG_BIN + "/psql", "-h", self.pg.directory, "-p", str(self.pg.port), "-U", PG_USER, "-d", "postgres",
                "-q", "-c", sql])

    def create_token(self, server, name, role):
        answer = server.request("POST", "/api/v1/tokens", body=json.dumps({"name": name, "role": role}),
                                token=server.token)
        self.assertEqual(answer.status, 201, answer.body)
        created = answer.json()
        self.assertEqual((created["name"], created["role"]), (name, role))
        self.assertRegex(created["token"], r"^[0-9a-f]{64}$")
        return created

    def create_share(self, server, body="{}"):
        answer = server.request("POST", "/api/v1/apps/%s/shares" % quoted(APP), body=body, token=server.token)
        self.assertEqual(answer.status, 201, answer.body)
        share = answer.json()
        self.assertEqual(share["url"], "/share/" + share["id"])
        return share

    def open_share(self, server, url):
        page = server.request("GET", url)
        self.assertEqual(page.status, 200)
        self.assertIn(b"/assets/app.js", page.body)
        set_cookie = page.header_all("Set-Cookie")[0]
        for attribute in ("HttpOnly", "SameSite=Strict", "Path=/"):
            self.assertIn(attribute, set_cookie)
        return set_cookie.split(";")[0]

    def test_every_route_with_every_caller_on_both_servers(self):
        a, b = self.a, self.b
        self.assertEqual(a.token, b.token)
        viewer = self.create_token(a, "viewer-1", "viewer")
        revoked = self.create_token(a, "revoked-1", "admin")
        viewer_session = b.sign_in(viewer["token"])
        revoked_session = b.sign_in(revoked["token"])
        signed_out = a.sign_in(viewer["token"])
        self.assertEqual(b.request("POST", "/signout", cookie=signed_out).status, 303)
        share = self.open_share(b, self.create_share(a)["url"])
        expired_share = self.create_share(a, json.dumps({"expires": a.get_json("/api/v1/apps/%s/daily" % quoted(APP))
                                                         ["days"][-1]["date"]}))
        expired = self.open_share(a, expired_share["url"])
        self.psql("UPDATE share_links SET expires_day = expires_day - 2 WHERE id = '%s'" % expired_share["id"])
        withdrawn_share = self.create_share(b)
        withdrawn = self.open_share(a, withdrawn_share["url"])
        self.assertEqual(a.request("DELETE", "/api/v1/apps/%s/shares/%s" % (quoted(APP), withdrawn_share["id"]),
                                   token=a.token).status, 204)
        # Revoked on one server: refused on the other at once, its session included.
        self.assertEqual(b.get("/api/v1/tokens", token=revoked["token"]).status, 200)
        self.assertEqual(a.request("DELETE", "/api/v1/tokens/%d" % revoked["id"], token=a.token).status, 204)
        self.assertEqual(b.get("/api/v1/tokens", token=revoked["token"], source="127.0.1.254").status, 401)
        self.assertEqual(b.request("GET", "/api/v1/apps", cookie=revoked_session).status, 401)

        callers = {
            "admin": ("admin", {"token": a.token}),
            "viewer": ("viewer", {"token": viewer["token"]}),
            "viewer session": ("viewer", {"cookie": viewer_session}),
            "share": ("share", {"cookie": share}),
            "revoked token": (None, {"token": revoked["token"]}),
            "revoked token's session": (None, {"cookie": revoked_session}),
            "signed-out session": (None, {"cookie": signed_out}),
            "expired share": (None, {"cookie": expired}),
            "revoked share": (None, {"cookie": withdrawn}),
            "nobody": (None, {"token": None}),
        }
        app, other = "/api/v1/apps/" + quoted(APP), "/api/v1/apps/" + quoted(OTHER)
        counter = iter(range(1000))
        # A revoked token is a wrong one and counts against its address: each try from its own.
        sources = ("127.0.1.%d" % i for i in range(1, 250))
        # method, path, body, then the answer to an admin, a viewer and a share link.
        routes = [
            ("GET", "/", None, 200, 200, 200),
            ("GET", "/api/v1/me", None, 200, 200, 200),
            ("GET", "/api/v1/apps", None, 200, 200, 200),
            ("GET", app + "/daily", None, 200, 200, 200),
            ("GET", app + "/active", None, 200, 200, 200),
            ("GET", app + "/top?dimension=event", None, 200, 200, 200),
            ("GET", app + "/retention", None, 200, 200, 200),
            ("GET", other + "/daily", None, 200, 200, 403),
            ("GET", app + "/devices/" + D1, None, 200, 403, 403),
            ("GET", app + "/export.csv", None, 200, 403, 403),
            ("DELETE", app + "/devices/FFFF", None, 404, 403, 403),
            ("GET", app + "/shares", None, 200, 403, 403),
            ("POST", app + "/shares", lambda: "{}", 201, 403, 403),
            ("DELETE", app + "/shares/" + "0" * 32, None, 404, 403, 403),
            ("GET", "/api/v1/tokens", None, 200, 403, 403),
            ("POST", "/api/v1/tokens", lambda: json.dumps({"name": "t%d" % next(counter), "role": "viewer"}),
             201, 403, 403),
            ("DELETE", "/api/v1/tokens/999999", None, 404, 403, 403),
            ("GET", "/api/v1/audit", None, 200, 403, 403),
            ("GET", "/tokens", None, 200, 403, 403),
        ]
        for server in (a, b):
            for caller, (role, credential) in callers.items():
                for method, path, body, *expected in routes:
                    want = dict(zip(("admin", "viewer", "share"), expected)).get(role, 401)
                    with self.subTest(server=server.port, caller=caller, method=method, path=path):
                        source = next(sources) if caller == "revoked token" else None
                        answer = server.request(method, path, body=body() if body else None, source=source,
                                                **credential)
                        self.assertEqual(answer.status, want, answer.body[:200])
        # A share link shows its own application only.
        self.assertEqual([x["appkey"] for x in b.request("GET", "/api/v1/apps", cookie=share).json()["apps"]], [APP])
        self.assertEqual(b.request("GET", "/api/v1/me", cookie=viewer_session).json(), {"name": "viewer-1", "role": "viewer"})
        for gone in (expired_share, withdrawn_share):
            self.assertEqual(b.request("GET", gone["url"]).status, 404)
        listed = {s["id"]: s for s in a.get_json(app + "/shares")["shares"]}
        self.assertNotIn(withdrawn_share["id"], listed)
        self.assertTrue(listed[expired_share["id"]]["expired"])
        tokens = {t["name"]: t for t in b.get_json("/api/v1/tokens")["tokens"]}
        self.assertNotIn("revoked-1", tokens)
        self.assertEqual(tokens["owner"]["role"], "admin")
        self.assertTrue(all("token" not in t and "secret_hash" not in t for t in tokens.values()))
        self.assertEqual(a.request("DELETE", "/api/v1/tokens/%d" % tokens["owner"]["id"], token=a.token).status, 409)
        for bad in ('{"name":"viewer-1","role":"viewer"}', '{"name":"x","role":"root"}', '{"name":"","role":"viewer"}',
                    '{"name":"a\\u0001","role":"viewer"}', "[1]", "not json"):
            self.assertIn(a.request("POST", "/api/v1/tokens", body=bad, token=a.token).status, (400, 409), bad)
        for bad in ('{"expires":"2020-01-01"}', '{"expires":"tomorrow"}', '{"expires":5}'):
            self.assertEqual(a.request("POST", app + "/shares", body=bad, token=a.token).status, 400, bad)

    def test_cross_origin_changes_with_a_cookie_are_refused(self):
        a = self.a
        cookie = a.sign_in()
        own = "http://127.0.0.1:%d" % a.port
        erase = "/api/v1/apps/%s/devices/FFFF" % quoted(APP)
        cases = [
            ({"Origin": "https://evil.example"}, {"cookie": cookie}, 403),
            ({"Origin": "null"}, {"cookie": cookie}, 403),
            ({"Referer": "https://evil.example/page"}, {"cookie": cookie}, 403),
            ({"Origin": "http://127.0.0.1:%d" % (a.port + 1)}, {"cookie": cookie}, 403),
            ({"Origin": own}, {"cookie": cookie}, 404),
            ({"Referer": own + "/#app=x"}, {"cookie": cookie}, 404),
            ({}, {"cookie": cookie}, 404),
            # A bearer token is no cookie a browser adds by itself: no origin to check.
            ({"Origin": "https://evil.example"}, {"token": a.token}, 404),
        ]
        for headers, credential, status in cases:
            with self.subTest(headers=headers, credential=list(credential)):
                self.assertEqual(a.request("DELETE", erase, headers=headers, **credential).status, status)
        self.assertEqual(a.request("POST", "/signout", cookie=cookie, headers={"Origin": "https://evil.example"}).status,
                         403)
        self.assertEqual(a.request("GET", "/api/v1/apps", cookie=cookie).status, 200, "still signed in")
        self.assertEqual(a.request("POST", "/signin", body="token=" + a.token,
                                   headers=dict(FORM, Origin="https://evil.example")).status, 403)

    def test_audit_log_records_each_action_with_who_where_and_what(self):
        a, b = self.a, self.b
        stranger = "127.0.0.9"
        a.post_report(app_event("AUD1TED0000000000000000000000000", APP, "", "app_start"))
        self.assertEqual(b.request("DELETE", "/api/v1/apps/%s/devices/AUD1TED0000000000000000000000000" % quoted(APP),
                                   token=b.token).status, 204)
        created = self.create_token(a, "audited", "viewer")
        session = b.sign_in(created["token"])
        self.assertEqual(b.request("POST", "/signout", cookie=session).status, 303)
        self.assertEqual(a.request("POST", "/signin", body="token=wrong-token", headers=FORM, source=stranger).status, 401)
        self.assertEqual(a.request("GET", "/api/v1/apps", token="wrong-token", source=stranger).status, 401)
        self.assertEqual(b.request("DELETE", "/api/v1/tokens/%d" % created["id"], token=b.token).status, 204)
        share = self.create_share(b)
        self.assertEqual(a.request("DELETE", "/api/v1/apps/%s/shares/%s" % (quoted(APP), share["id"]),
                                   token=a.token).status, 204)
        log = b.get_json("/api/v1/audit")
        mine = {"AUD1TED0000000000000000000000000", "audited", share["id"]}
        new = [(e["action"], e["token"], e["appkey"], e["target"], e["address"]) for e in reversed(log["entries"])
               if e["target"] in mine or e["token"] == "audited" or e["address"] == stranger]
        self.assertEqual(new, [
            ("erase", "owner", APP, "AUD1TED0000000000000000000000000", "127.0.0.1"),
            ("token_create", "owner", "", "audited", "127.0.0.1"),
            ("signin", "audited", "", "", "127.0.0.1"),
            ("signout", "audited", "", "", "127.0.0.1"),
            ("signin_failed", "", "", "form", stranger),
            ("signin_failed", "", "", "bearer", stranger),
            ("token_revoke", "owner", "", "audited", "127.0.0.1"),
            ("share_create", "owner", APP, share["id"], "127.0.0.1"),
            ("share_revoke", "owner", APP, share["id"], "127.0.0.1"),
        ])
        self.assertRegex(log["entries"][0]["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(b.get_json("/api/v1/audit", **{"from": "2000-01-01", "to": "2000-01-31"})["entries"], [])
        self.assertEqual(b.get("/api/v1/audit?from=1990-01-01").status, 400)

    def test_export_neutralises_formulas_keeps_bodies_exact_and_imports_back(self):
        exported = self.b.get("/api/v1/apps/%s/export.csv" % quoted(APP))
        self.assertEqual(exported.status, 200)
        text = exported.body.decode("utf-8")
        rows = list(csv.DictReader(io.StringIO(text, newline="")))
        by_name = {r["name"]: r for r in rows if r["kind"] == "action"}
        for formula in FORMULAS:
            with self.subTest(formula=formula):
                row = by_name["'" + formula]
                self.assertEqual((row["channel"], row["content"]), ("'" + formula, "'" + formula))
                self.assertEqual(row["body"], action(D2, APP, formula, formula, formula))
        self.assertIn('"\'\r=1+1"', text, "a lone carriage return is quoted")
        self.assertEqual(by_name["Quote"]["content"], 'say "hi" twice')
        self.assertIn('say ""hi"" twice', text)

        data = os.path.join(self.work.name, "imported")
        exported_file = os.path.join(self.work.name, "export.csv")
        with open(exported_file, "wb") as f:
            f.write(exported.body)
        result = subprocess.run([SERVER, "import", "--data", data, exported_file], capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"skipped=0", result.stderr)
        again = ApiServer(data_dir=data, token_file=self.token_file)
        try:
            # Every column as it was; import may give reports without an id one of its own.
            def columns(body):
                return [{k: v for k, v in r.items() if k != "report_id"}
                        for r in csv.DictReader(io.StringIO(body.decode("utf-8"), newline=""))]
            self.assertEqual(columns(again.get("/api/v1/apps/%s/export.csv" % quoted(APP)).body), columns(exported.body))
        finally:
            again.stop()


class FailureLimitTest(unittest.TestCase):
    """1000 wrong tokens from one client, then the right one: accepted. The client is the peer,
    or behind a trusted proxy (127.0.0.2 here) the address its X-Forwarded-For names."""

    @classmethod
    def setUpClass(cls):
        cls.server = ApiServer(["--trusted-proxy", "10.0.0.0/8,127.0.0.2/32"])

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def attempts(self, source, count, token, forwarded=None, path="/api/v1/apps"):
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30,
                                                source_address=(source, 0))
        statuses = []
        try:
            for i in range(count):
                headers = {"Authorization": "Bearer " + (token(i) if callable(token) else token)}
                if forwarded:
                    headers["X-Forwarded-For"] = forwarded(i) if callable(forwarded) else forwarded
                connection.request("GET", path, headers=headers)
                response = connection.getresponse()
                response.read()
                statuses.append((response.status, response.getheader("Retry-After")))
        finally:
            connection.close()
        return statuses

    def sign_in(self, source, token, forwarded, proto="http"):
        """Status and Set-Cookie of a sign-in through a proxy that saw the client on `proto`."""
        connection = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30, source_address=(source, 0))
        try:
            connection.request("POST", "/signin", body="token=" + token,
                               headers=dict(FORM, **{"X-Forwarded-For": forwarded, "X-Forwarded-Proto": proto}))
            response = connection.getresponse()
            return response.status, response.getheader("Set-Cookie") or ""
        finally:
            connection.close()

    def test_the_right_token_is_accepted_after_1000_wrong_ones(self):
        s = self.server
        wrong = lambda i: "guess-%d" % i
        cases = [
            # source, X-Forwarded-For of the guesses, the address the right token then comes from
            ("127.0.0.2", "198.51.100.1, 203.0.113.7", "203.0.113.7"),  # trusted proxy: the client counts
            ("127.0.0.1", lambda i: "192.0.2.%d" % (i % 250), "192.0.2.1"),  # untrusted: the header is ignored
        ]
        for source, forwarded, right_from in cases:
            with self.subTest(source=source):
                statuses = self.attempts(source, 1000, wrong, forwarded)
                self.assertEqual([s for s, _ in statuses[:10]], [401] * 10)
                self.assertEqual({s for s, _ in statuses[10:]}, {429})
                self.assertTrue(all(0 < int(r) <= 300 for _, r in statuses[10:]))
                self.assertEqual(self.attempts(source, 1, s.token, right_from)[0][0], 200)
                self.assertEqual(self.sign_in(source, s.token, right_from)[0], 303)
                self.assertEqual(self.attempts(source, 1, "guess", right_from)[0][0], 429, "still limited")
        # Behind the trusted proxy another client was never limited; the untrusted peer itself was.
        self.assertEqual(self.attempts("127.0.0.2", 1, "guess", "203.0.113.8")[0][0], 401)
        self.assertEqual(self.attempts("127.0.0.1", 1, "guess", "203.0.113.8")[0][0], 429)
        # TLS ended at a trusted proxy still makes the cookie Secure; a stranger's header does not.
        self.assertIn("; Secure", self.sign_in("127.0.0.2", s.token, "203.0.113.9", "https")[1])
        self.assertNotIn("; Secure", self.sign_in("127.0.0.1", s.token, "203.0.113.9", "https")[1])
        failed = [e for e in s.get_json("/api/v1/audit")["entries"] if e["action"] == "signin_failed"]
        counts = {}
        for e in failed:
            counts[e["address"]] = counts.get(e["address"], 0) + 1
        self.assertEqual(counts, {"203.0.113.7": 10, "127.0.0.1": 10, "203.0.113.8": 1}, "the log stays bounded")


class AuditRetentionTest(unittest.TestCase):
    def test_the_audit_log_goes_with_the_reports_retention_not_before(self):
        first = ApiServer()
        try:
            first.sign_in()
            data, token_file = first.data_dir, first.token_file
            first.terminate()
            db = sqlite3.connect(os.path.join(data, "tallyscope.db"))
            with db:
                for days_ago in (3, 1.5, 0.5):
                    db.execute("INSERT INTO audit_log (at_ms, address, actor, action, app_key, target)"
                               " VALUES (?, '192.0.2.1', 'owner', 'erase', 'k', ?)",
                               (int((time.time() - days_ago * 86400) * 1000), "%g days ago" % days_ago))
            db.close()
            again = ApiServer(["--retention-days", "2"], data_dir=data, token_file=token_file)
            try:
                wait_until = time.monotonic() + 30
                while True:
                    kept = [e["target"] for e in again.get_json("/api/v1/audit")["entries"] if e["action"] == "erase"]
                    if len(kept) == 2 or time.monotonic() > wait_until:
                        break
                    time.sleep(0.2)
                self.assertEqual(kept, ["0.5 days ago", "1.5 days ago"])
            finally:
                again.stop()
        finally:
            first.close()


if __name__ == "__main__":
    unittest.main()
