"""The query API through the real server: access, routing, parameter checks, shapes, erasure and
the CSV export (byte format, and export -> import -> export giving the same bytes)."""
import csv
import datetime
import io
import os
import re
import subprocess
import tempfile
import unittest
import urllib.parse

from api_server import SERVER, ApiServer, action, app_event, device_info

APP = "api-test-app"
OTHER = "api other"
D1 = "0123456789ABCDEF0123456789ABCDE1"
D2 = "0123456789ABCDEF0123456789ABCDE2"
D3 = "Unknown PCID"

# Every report the class posts: contents with a comma, a quote, a colon and a non-ASCII value
# exercise the CSV quoting and the UTF-8 columns.
REPORTS = [
    app_event(D1, APP, "store", "app_start"),
    app_event(D2, APP, "web", "app_start"),
    app_event(D2, APP, "web", "app_exit"),
    action(D1, APP, "store", "Open", "a,b"),
    action(D1, APP, "store", "Open", 'say "hi"'),
    action(D2, APP, "web", "Open", "a,b"),
    action(D2, APP, "web", "Save", "café"),
    action(D3, APP, "", "Save", "x:y"),
    device_info(D1, APP, "store"),
    device_info(D1, APP, "store", osversion="10.0.22631"),
    app_event(D1, OTHER, "", "app_start"),
]

DAILY_KEYS = {"date", "active_devices", "new_devices", "app_events", "actions", "device_reports"}


def today():
    return datetime.datetime.now(datetime.timezone.utc).date()


class QueryApiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ApiServer()
        for body in REPORTS:
            cls.server.post_report(body)
        cls.today = today().isoformat()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def path(self, suffix, appkey=APP):
        return "/api/v1/apps/%s/%s" % (urllib.parse.quote(appkey, safe=""), suffix)

    def test_access_needs_the_token_or_a_signed_session_and_reports_need_nothing(self):
        s = self.server
        self.assertTrue(os.path.isfile(s.token_file))
        self.assertEqual(os.stat(s.token_file).st_mode & 0o777, 0o600)
        private = ["/api/v1/apps", self.path("daily"), self.path("top?dimension=event"),
                   self.path("retention"), self.path("export.csv"), self.path("devices/" + D1),
                   self.path("no-such-route"), "/api/v1/apps/no-such-app/daily"]
        # Wrong tokens count against the address (ten allowed, see below); missing ones do not.
        tries = [(path, None) for path in private] + [
            ("/api/v1/apps", token) for token in ("", s.token[:-1], s.token + "0", s.token.upper())]
        for path, token in tries:
            with self.subTest(path=path, token=token):
                answer = s.request("GET", path, token=token)
                self.assertEqual(answer.status, 401)
                self.assertIn("Bearer", answer.headers.get("WWW-Authenticate", ""))
                self.assertNotIn(APP.encode(), answer.body)
        self.assertEqual(s.request("DELETE", self.path("devices/" + D2)).status, 401)
        self.assertEqual(s.get("/api/v1/apps").status, 200)

        # Without a session the page is the sign-in form, refused; its files hold no figures.
        page = s.request("GET", "/")
        self.assertEqual(page.status, 401)
        self.assertIn(b'action="/signin"', page.body)
        self.assertNotIn(b"app.js", page.body)
        for asset in ("/assets/app.js", "/assets/style.css", "/assets/vendor/uPlot.iife.min.js",
                      "/assets/vendor/uPlot.LICENSE"):
            first = s.request("GET", asset)
            self.assertEqual(first.status, 200, asset)
            # A reload revalidates: the same file is a bodiless 304, and any other tag gets the file.
            again = s.request("GET", asset, headers={"If-None-Match": first.headers["ETag"]})
            self.assertEqual((again.status, again.body), (304, b""), asset)
            self.assertEqual(s.request("GET", asset, headers={"If-None-Match": '"1"'}).body, first.body, asset)
        self.assertEqual(s.request("GET", "/assets/index.html").status, 404)

        # Signing in gives an HttpOnly, SameSite=Strict cookie that opens the page and the API.
        self.assertEqual(s.request("POST", "/signin", body="token=wrong-token-value",
                                   headers={"Content-Type": "application/x-www-form-urlencoded"}).status, 401)
        # As pasted from a terminal: blanks around the token are not part of it.
        answer = s.request("POST", "/signin", body="token=+" + s.token + "%0A",
                           headers={"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(answer.status, 303)
        self.assertEqual(answer.headers["Location"], "/")
        set_cookie = answer.header_all("Set-Cookie")[0]
        for attribute in ("HttpOnly", "SameSite=Strict", "Path=/"):
            self.assertIn(attribute, set_cookie)
        cookie = set_cookie.split(";")[0]
        dashboard = s.request("GET", "/", cookie=cookie)
        self.assertEqual(dashboard.status, 200)
        # The page names this build's files by version: those are kept, the unversioned ones asked again.
        versioned = re.search(rb'"(/assets/app\.js\?v=\w+)"', dashboard.body).group(1).decode()
        self.assertIn("immutable", s.request("GET", versioned).headers["Cache-Control"])
        self.assertEqual(s.request("GET", "/assets/app.js").headers["Cache-Control"], "no-cache")
        self.assertIn("default-src 'self'", dashboard.headers["Content-Security-Policy"])
        self.assertEqual(s.request("GET", "/api/v1/apps", cookie=cookie).status, 200)
        name, value = cookie.split("=", 1)
        self.assertRegex(value, r"^[0-9a-f]{64}$")
        forged = name + "=" + value[:-1] + ("0" if value[-1] != "0" else "1")
        self.assertEqual(s.request("GET", "/api/v1/apps", cookie=forged).status, 401)
        signed_out = s.request("POST", "/signout", cookie=cookie)
        self.assertEqual(signed_out.status, 303)
        self.assertIn("Max-Age=0", signed_out.header_all("Set-Cookie")[0])

        # Sessions live in the store: signed out means refused, also to the cookie's replay.
        self.assertEqual(s.request("GET", "/api/v1/apps", cookie=cookie).status, 401)

    def test_failed_attempts_from_one_address_are_limited_but_never_the_right_token(self):
        # A server of its own: the limit counts per address, and every test comes from 127.0.0.1.
        s = ApiServer(token_file=self.server.token_file)
        try:
            statuses = [s.request("GET", "/api/v1/apps", token="guess-%d" % i).status for i in range(10)]
            self.assertEqual(statuses, [401] * 10)
            limited = s.request("GET", "/api/v1/apps", token="guess-10")
            self.assertEqual(limited.status, 429)
            self.assertGreater(int(limited.headers["Retry-After"]), 0)
            self.assertEqual(s.request("POST", "/signin", body="token=guess-11",
                                       headers={"Content-Type": "application/x-www-form-urlencoded"}).status, 429)
            # The right token and the sign-in form with it are not the attacker's to block.
            self.assertEqual(s.request("GET", "/api/v1/apps", token=s.token).status, 200)
            self.assertEqual(s.request("GET", "/api/v1/apps", cookie=s.sign_in()).status, 200)
        finally:
            s.stop()

    def test_routes_shapes_and_parameter_checks(self):
        s = self.server
        listed = s.get_json("/api/v1/apps")
        self.assertEqual(listed["today"], self.today)
        apps = {a["appkey"]: a for a in listed["apps"]}
        self.assertEqual(set(apps), {APP, "api other"})
        self.assertEqual(apps[APP], {"appkey": APP, "devices": 3, "reports": 10,
                                     "first_seen": self.today, "last_seen": self.today})

        daily = s.get_json(self.path("daily"))
        self.assertEqual(set(daily), {"appkey", "days"})
        self.assertEqual(daily["appkey"], APP)
        self.assertEqual(len(daily["days"]), 30)
        self.assertEqual(daily["days"][-1], {"date": self.today, "active_devices": 3, "new_devices": 3,
                                             "app_events": 3, "actions": 5, "device_reports": 2, "partial": True})
        self.assertTrue(all("partial" not in d for d in daily["days"][:-1]))
        first = (today() - datetime.timedelta(days=29)).isoformat()
        self.assertEqual(daily["days"][0], dict.fromkeys(DAILY_KEYS - {"date"}, 0) | {"date": first})
        web = s.get_json(self.path("daily"), channel="web", **{"from": self.today, "to": self.today})
        self.assertEqual(web["days"], [{"date": self.today, "active_devices": 1, "new_devices": 1,
                                        "app_events": 2, "actions": 2, "device_reports": 0, "partial": True}])

        # D1 sent three reports before its first device information: they count under no OS yet.
        day = {"from": self.today, "to": self.today}
        for filters, active, reports in (({"os": "Windows 10 Pro"}, 1, 2), ({"osversion": "10.0.22631"}, 1, 1),
                                         ({"os": ""}, 3, 8), ({"os": "", "channel": "web"}, 1, 4),
                                         ({"os": "Windows 10 Pro", "channel": "web"}, 0, 0), ({"os": "Nope"}, 0, 0)):
            with self.subTest(filters=filters):
                got = s.get_json(self.path("daily"), **filters, **day)["days"][0]
                self.assertEqual((got["active_devices"], got["app_events"] + got["actions"] + got["device_reports"]),
                                 (active, reports))
                self.assertEqual(s.get_json(self.path("active"), **filters, **day)["active_devices"], active)
        by_os = s.get_json(self.path("breakdown"), dimension="os", **day)
        self.assertEqual([(x["value"], x["reports"], x["devices"]) for x in by_os["series"]],
                         [("", 8, 3), ("Windows 10 Pro", 2, 1)])
        self.assertEqual(by_os["series"][0]["days"], [{"date": self.today, "reports": 8, "devices": 3}])
        by_channel = s.get_json(self.path("breakdown"), dimension="channel", limit=2, **day)
        self.assertEqual([(x["value"], x["reports"]) for x in by_channel["series"]], [("store", 5), ("web", 4)])
        self.assertEqual(by_channel["other"], {"days": [{"date": self.today, "reports": 1, "devices": 1}]})
        by_action = s.get_json(self.path("breakdown"), dimension="action", os="", **day)
        self.assertEqual([(x["value"], x["reports"], x["devices"]) for x in by_action["series"]],
                         [("Open", 3, 2), ("Save", 2, 2)])

        for q, found in (("pc", [D1]), ("unknown", [D3]), ("0123456789abcdef", [D1, D2]), ("PC\\U", [D1]),
                         ("%", []), ("zz", [])):
            with self.subTest(q=q):
                matches = s.get_json(self.path("devices"), q=q)["devices"]
                self.assertEqual(sorted(m["deviceid"] for m in matches), found)
        self.assertEqual(s.get_json(self.path("devices"), q="pc")["devices"][0],
                         {"deviceid": D1, "pcname": "PC", "pcusername": "PC\\user", "pcosname": "Windows 10 Pro",
                          "last_seen": s.get_json(self.path("devices/" + D1))["last_seen"]})

        top = s.get_json(self.path("top"), dimension="content", action="Open")
        self.assertEqual(top, {"rows": [{"value": "a,b", "reports": 2, "devices": 2},
                                        {"value": 'say "hi"', "reports": 1, "devices": 1}]})
        self.assertEqual(s.get_json(self.path("top"), dimension="action", limit=1),
                         {"rows": [{"value": "Open", "reports": 3, "devices": 2}]})
        # The first action's contents come with the actions when asked, as their own answer gives them.
        self.assertEqual(s.get_json(self.path("top"), dimension="action", contents="first"),
                         dict(s.get_json(self.path("top"), dimension="action"), contents=dict(top, action="Open")))
        self.assertEqual(s.get_json(self.path("top"), dimension="osversion")["rows"][0]["value"], "10.0.19045")

        retention = s.get_json(self.path("retention"), **{"from": self.today})
        self.assertEqual(retention, {"cohorts": [{"date": self.today, "new_devices": 3,
                                                  "d1": None, "d7": None, "d30": None}]})
        self.assertEqual(s.get_json(self.path("active"), **{"from": self.today})["active_devices"], 3)

        device = s.get_json(self.path("devices/" + D1))
        self.assertEqual(set(device), {"deviceid", "first_seen", "last_seen", "app_events", "actions",
                                       "device_reports", "days_active", "inventory"})
        self.assertEqual(device["days_active"], 1)
        self.assertEqual((device["app_events"], device["actions"], device["device_reports"]), (1, 2, 2))
        self.assertRegex(device["first_seen"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(device["inventory"]["pcosversion"], "10.0.22631")
        self.assertEqual(device["inventory"]["pcusername"], "PC\\user")
        self.assertEqual(s.get_json(self.path("devices/Unknown%20PCID"))["inventory"], {})

        refusals = [
            (self.path("daily?from=2026-12-09&to=2026-12-08"), 400, "after"),
            (self.path("daily?from=" + (today() + datetime.timedelta(days=1)).isoformat()), 400, "after"),
            (self.path("daily?from=2026-02-30"), 400, "not a date"),
            (self.path("daily?to=08.12.2026"), 400, "not a date"),
            (self.path("daily?form=2026-12-01"), 400, "unknown parameter"),
            (self.path("daily?from=1990-01-01"), 400, "longer than"),
            (self.path("daily?channel=%FF"), 400, "UTF-8"),
            (self.path("top"), 400, "dimension is missing"),
            (self.path("top?dimension=devices"), 400, "none of"),
            (self.path("top?dimension=event&limit=0"), 400, "limit"),
            (self.path("top?dimension=event&action=Open"), 400, "dimension=content"),
            (self.path("top?dimension=event&contents=first"), 400, "dimension=action"),
            (self.path("top?dimension=action&contents=all"), 400, "not first"),
            (self.path("retention?limit=3"), 400, "unknown parameter"),
            (self.path("breakdown"), 400, "dimension is missing"),
            (self.path("breakdown?dimension=content"), 400, "none of"),
            (self.path("devices"), 400, "q is missing"),
            (self.path("devices?q=a&from=2026-12-01"), 400, "unknown parameter"),
            (self.path("devices/" + D1 + "?x=1"), 400, "no parameters"),
            (self.path("daily", appkey="no-such-app"), 404, "no-such-app"),
            (self.path("export.csv", appkey="no-such-app"), 404, "no-such-app"),
            (self.path("devices/" + D1, appkey="no-such-app"), 404, "no-such-app"),
            (self.path("devices/FFFF"), 404, "FFFF"),
            (self.path("weekly"), 404, "no such route"),
            (self.path("daily/extra"), 404, "no such route"),
            ("/api/v1/apps/", 404, "no such route"),
        ]
        for path, status, reason in refusals:
            with self.subTest(path=path):
                answer = s.get(path)
                self.assertEqual(answer.status, status, answer.body)
                self.assertEqual(answer.headers["Content-Type"], "application/json")
                self.assertIn(reason, answer.json()["error"])
        self.assertEqual(s.request("POST", self.path("daily"), token=s.token).status, 405)
        self.assertEqual(s.request("DELETE", self.path("daily"), token=s.token).status, 404)

    def test_erasing_a_device_removes_it_from_every_figure(self):
        s = ApiServer(token_file=self.server.token_file)
        try:
            for body in REPORTS:
                s.post_report(body)
            self.assertEqual(s.request("DELETE", self.path("devices/" + D2), token=s.token).status, 204)
            self.assertEqual(s.request("DELETE", self.path("devices/" + D2), token=s.token).status, 404)
            self.assertEqual(s.get(self.path("devices/" + D2)).status, 404)
            self.assertEqual(s.request("DELETE", self.path("devices/" + D2, appkey="nope"), token=s.token).status, 404)
            self.assertEqual(s.get_json(self.path("daily"), **{"from": self.today})["days"][0]["active_devices"], 2)
            self.assertEqual(s.get_json(self.path("top"), dimension="channel")["rows"],
                             [{"value": "store", "reports": 5, "devices": 1}, {"value": "", "reports": 1, "devices": 1}])
            exported = s.get(self.path("export.csv")).body.decode("utf-8")
            self.assertNotIn(D2, exported)
            self.assertIn(D1, exported)
        finally:
            s.stop()

    def test_export_is_rfc4180_utf8_with_every_report_and_survives_import(self):
        s = self.server
        answer = s.get(self.path("export.csv"))
        self.assertEqual(answer.status, 200)
        self.assertEqual(answer.headers["Content-Type"], "text/csv; charset=utf-8")
        self.assertIn("attachment", answer.headers["Content-Disposition"])
        text = answer.body.decode("utf-8")
        header = ("arrived,kind,deviceid,appkey,channel,name,content,pcosname,mac,pcosversion,pcname,"
                  "pcusername,windowssid,pccpuid,harddiskid,mainboardcode,body,report_id\r\n")
        self.assertTrue(text.startswith(header))
        self.assertTrue(text.endswith("\r\n"))
        self.assertIn(',Open,"a,b",', text)
        self.assertIn(',Open,"say ""hi""",', text)
        self.assertIn(",Save,café,", text)
        rows = list(csv.DictReader(io.StringIO(text, newline="")))
        self.assertEqual([r["body"] for r in rows], REPORTS[:-1])
        self.assertEqual([r["kind"] for r in rows[:3]], ["app_event"] * 3)
        self.assertEqual(rows[0]["content"], "2026-12-08 10:00:00")
        self.assertEqual((rows[-1]["kind"], rows[-1]["pcosname"], rows[-1]["mainboardcode"]),
                         ("device_info", "Windows 10 Pro", "N/A"))
        for row in rows:
            self.assertRegex(row["arrived"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(s.get(self.path("export.csv") + "?from=2000-01-01&to=2000-01-31").body, header.encode())
        # The filters pass the reports the figures count, by the OS each device had when it reported.
        for query, expected in (("os=Windows%2010%20Pro", REPORTS[8:10]), ("os=&channel=", [REPORTS[7]]),
                                ("os=Windows%2011", []), ("channel=web&osversion=", REPORTS[1:3] + REPORTS[5:7])):
            body = s.get(self.path("export.csv") + "?" + query).body.decode("utf-8")
            self.assertEqual([r["body"] for r in csv.DictReader(io.StringIO(body, newline=""))], expected, query)

        with tempfile.TemporaryDirectory() as work:
            exported = os.path.join(work, "export.csv")
            with open(exported, "wb") as f:
                f.write(answer.body)
            data = os.path.join(work, "imported")
            result = subprocess.run([SERVER, "import", "--data", data, exported], capture_output=True, timeout=120)
            self.assertEqual(result.returncode, 0, result.stderr)
            again = ApiServer(data_dir=data, token_file=s.token_file)
            try:
                self.assertEqual(again.get(self.path("export.csv")).body, answer.body)
                self.assertEqual(again.get_json(self.path("daily")), s.get_json(self.path("daily")))
            finally:
                again.stop()


if __name__ == "__main__":
    unittest.main()
