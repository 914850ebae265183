"""The dashboard in a real browser (headless Chromium): signing in, picking an application, and
every tile and top table showing exactly what the API answers. Leaves a screenshot of the page in
the build folder (test-artifacts/dashboard.png beside the server binary)."""
import os
import shutil
import tempfile
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import Select, WebDriverWait

from api_server import SERVER, ApiServer, action, app_event, device_info

FIRST = "web-first-app"
SECOND = "web-second-app"


def device(n):
    return "%032X" % (0xD0000 + n)


def reports():
    """The second application gets a spread of events, actions and systems; the first a few."""
    out = [app_event(device(90), FIRST, "", "app_start")]
    for n in range(12):
        d = device(n)
        channel = ("store", "web", "beta")[n % 3]
        out.append(device_info(d, SECOND, channel, osname=("Windows 10", "Windows 11")[n % 2],
                               osversion="10.0.%d" % (19045 + n % 4)))
        for _ in range(1 + n % 4):
            out.append(app_event(d, SECOND, channel, ("app_start", "app_exit", "update")[n % 3]))
        for k in range(n % 5):
            out.append(action(d, SECOND, channel, ("Open", "Save", "Export")[k % 3], "item %d" % (k + n % 2)))
    return out


def number(text):
    return int(text.replace(",", ""))


class DashboardTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ApiServer()
        for body in reports():
            cls.server.post_report(body)
        cls.profile = tempfile.mkdtemp(prefix="tallyscope-chromium-")
        options = webdriver.ChromeOptions()
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                         "--disable-background-networking", "--disable-component-update", "--disable-sync",
                         "--window-size=1400,2200", "--user-data-dir=" + cls.profile):
            options.add_argument(argument)
        options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
        cls.browser = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                                       options=options)
        cls.artifacts = os.path.join(os.path.dirname(os.path.abspath(SERVER)), "test-artifacts")
        os.makedirs(cls.artifacts, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.server.stop()
        shutil.rmtree(cls.profile, ignore_errors=True)

    def fetch_status(self, path):
        """The status the page's own origin gets for `path`, with whatever cookies the browser holds."""
        return self.browser.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "fetch(arguments[0], {credentials: 'same-origin'}).then(r => done(r.status), e => done(String(e)));", path)

    def wait_drawn(self, shows=lambda status: True):
        """Waits until every panel is filled for the state whose status line satisfies `shows`."""
        def drawn(b):
            status = b.find_element(By.ID, "status")
            if "error" in status.get_attribute("class"):
                return True
            return b.execute_script("return document.body.dataset.drawn === '1'") and shows(status.text)
        WebDriverWait(self.browser, 30).until(drawn)
        status = self.browser.find_element(By.ID, "status")
        self.assertNotIn("error", status.get_attribute("class"), status.text)

    def table(self, table_id):
        rows = self.browser.find_elements(By.CSS_SELECTOR, "#%s tbody tr" % table_id)
        return [[td.text for td in row.find_elements(By.TAG_NAME, "td")] for row in rows]

    def tile(self, tile_id):
        return number(self.browser.find_element(By.CSS_SELECTOR, "#%s .value" % tile_id).text)

    def test_sign_in_pick_an_application_and_every_figure_matches_the_api(self):
        b, s = self.browser, self.server

        # Without the token: the page is the sign-in form and the API refuses.
        b.get(s.base + "/")
        self.assertTrue(b.find_element(By.ID, "token").is_displayed())
        self.assertEqual(self.fetch_status("/api/v1/apps"), 401)
        b.find_element(By.ID, "token").send_keys("not-the-token")
        b.find_element(By.ID, "signin").click()
        self.assertIn("Wrong access token", b.find_element(By.CSS_SELECTOR, ".error").text)
        self.assertEqual(self.fetch_status("/api/v1/apps"), 401)

        b.find_element(By.ID, "token").send_keys(s.token)
        b.find_element(By.ID, "signin").click()
        self.wait_drawn()
        session = b.get_cookie("tallyscope_session")
        self.assertTrue(session["httpOnly"])
        self.assertEqual(session["sameSite"], "Strict")
        self.assertNotIn("tallyscope_session", b.execute_script("return document.cookie"))

        # The first application (by key) is shown first; pick the second.
        picker = Select(b.find_element(By.ID, "app"))
        self.assertEqual([o.get_attribute("value") for o in picker.options], [FIRST, SECOND])
        picker.select_by_value(SECOND)
        self.wait_drawn(lambda status: status.startswith(SECOND))
        self.assertIn("app=" + SECOND, b.current_url)

        path = "/api/v1/apps/%s/" % SECOND
        days = s.get_json(path + "daily")["days"]
        today, start = days[-1]["date"], days[0]["date"]
        week_start = days[-7]["date"]
        self.assertEqual(self.tile("tile-active-today"), days[-1]["active_devices"])
        self.assertEqual(self.tile("tile-active-7"),
                         s.get_json(path + "active", **{"from": week_start, "to": today})["active_devices"])
        self.assertEqual(self.tile("tile-active-30"),
                         s.get_json(path + "active", **{"from": start, "to": today})["active_devices"])
        for tile, key in (("tile-new", "new_devices"), ("tile-events", "app_events"), ("tile-actions", "actions")):
            self.assertEqual(self.tile(tile), sum(d[key] for d in days), tile)
        self.assertEqual(self.tile("tile-active-today"), 12)

        def shown(rows):
            return [[r["value"] or "(empty)", "{:,}".format(r["reports"]), "{:,}".format(r["devices"])] for r in rows]

        for table, dimension in (("top-event", "event"), ("top-action", "action"), ("top-channel", "channel"),
                                 ("top-os", "os"), ("top-osversion", "osversion")):
            rows = s.get_json(path + "top", dimension=dimension, **{"from": start, "to": today})["rows"]
            self.assertTrue(rows, dimension)
            self.assertEqual(self.table(table), shown(rows), table)
        top_action = s.get_json(path + "top", dimension="action")["rows"][0]["value"]
        self.assertEqual(self.table("top-content"),
                         shown(s.get_json(path + "top", dimension="content", action=top_action)["rows"]))
        retention = self.table("retention")
        self.assertEqual(retention[0][:2], [today, "12"])

        # The channel filter narrows every panel to one channel.
        Select(b.find_element(By.ID, "channel")).select_by_value("web")
        self.wait_drawn(lambda status: "channel “web”" in status)
        web_days = s.get_json(path + "daily", channel="web")["days"]
        self.assertEqual(self.tile("tile-events"), sum(d["app_events"] for d in web_days))
        self.assertEqual(self.table("top-channel"), shown(s.get_json(path + "top", dimension="channel",
                                                                      channel="web")["rows"]))
        Select(b.find_element(By.ID, "channel")).select_by_index(0)
        self.wait_drawn(lambda status: "channel" not in status)

        b.save_screenshot(os.path.join(self.artifacts, "dashboard.png"))

        # Device look-up shows the inventory; the export link downloads with the session.
        b.find_element(By.ID, "device-id").send_keys(device(3))
        b.find_element(By.CSS_SELECTOR, "#device-form button").click()
        WebDriverWait(b, 10).until(lambda b: b.find_element(By.ID, "device").is_displayed())
        inventory = dict(self.table("device-inventory"))
        self.assertEqual(inventory["pcosname"], "Windows 11")
        self.assertEqual(self.fetch_status(b.find_element(By.ID, "export-range").get_attribute("href")), 200)

        # The erase button asks first, then the device is gone from the API and from the tiles.
        b.find_element(By.ID, "device-erase").click()
        WebDriverWait(b, 10).until(expected_conditions.alert_is_present()).accept()
        WebDriverWait(b, 10).until(lambda b: "erased" in b.find_element(By.ID, "device-status").text)
        self.assertEqual(s.get(path + "devices/" + device(3)).status, 404)
        self.wait_drawn(lambda status: status.startswith(SECOND))
        self.assertEqual(self.tile("tile-active-today"), 11)

        # Signing out ends the session: the page and the API refuse again.
        b.find_element(By.CSS_SELECTOR, ".signout button").click()
        WebDriverWait(b, 10).until(lambda b: b.find_elements(By.ID, "token"))
        self.assertEqual(self.fetch_status("/api/v1/apps"), 401)

    def test_viewers_and_share_links_see_the_figures_and_no_admin_control(self):
        b, s = self.browser, self.server
        viewer = s.request("POST", "/api/v1/tokens", body='{"name": "web-viewer", "role": "viewer"}',
                           token=s.token).json()["token"]
        share = s.request("POST", "/api/v1/apps/%s/shares" % SECOND, body="{}", token=s.token).json()["url"]

        def shows_no_admin_control():
            WebDriverWait(b, 10).until(lambda b: b.execute_script("return document.documentElement.dataset.role"))
            self.assertEqual(b.execute_script("return document.documentElement.dataset.role"), "viewer")
            for selector in ("#device-erase", "#export-range", "#export-all", "#tokens-link", "[data-admin-only]"):
                for element in b.find_elements(By.CSS_SELECTOR, selector):
                    self.assertFalse(element.is_displayed(), selector)

        for how in ("viewer token", "share link"):
            with self.subTest(how=how):
                b.get(s.base + "/signin")
                b.delete_all_cookies()
                if how == "viewer token":
                    b.get(s.base + "/")
                    WebDriverWait(b, 10).until(lambda b: b.find_elements(By.ID, "token"))
                    b.find_element(By.ID, "token").send_keys(viewer)
                    b.find_element(By.ID, "signin").click()
                else:
                    b.get(s.base + share)
                self.wait_drawn()
                shows_no_admin_control()
                apps = [o.get_attribute("value") for o in Select(b.find_element(By.ID, "app")).options]
                self.assertEqual(sorted(apps), [FIRST, SECOND] if how == "viewer token" else [SECOND])
                if how == "share link":
                    self.assertEqual(b.current_url.split("#")[0], s.base + share)
                    self.assertEqual(self.fetch_status("/api/v1/apps/%s/daily" % FIRST), 403)
                self.assertEqual(self.fetch_status("/api/v1/apps/%s/export.csv" % SECOND), 403)
        b.delete_all_cookies()


if __name__ == "__main__":
    unittest.main()
