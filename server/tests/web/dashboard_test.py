"""The dashboard in a real browser (headless Chromium): signing in, the busiest application first,
every tile and top table showing exactly what the API answers, filters set by a click and kept in
the URL through back and forward, the partial day, an error in view with a retry, the phone layout,
and finding a device by its computer name. Screenshots go to the build folder
(test-artifacts/dashboard-*.png beside the server binary)."""
import os
import shutil
import tempfile
import unittest
import urllib.parse

from selenium import webdriver
from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
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
                         "--window-size=1440,900", "--user-data-dir=" + cls.profile):
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

    def until(self, condition, timeout=30):
        """Waits for a state of the page; elements replaced while looking are looked up again."""
        return WebDriverWait(self.browser, timeout, ignored_exceptions=(
            StaleElementReferenceException, NoSuchElementException)).until(condition)

    def viewport(self, width, height):
        self.browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})

    def fetch_status(self, path):
        """The status the page's own origin gets for `path`, with whatever cookies the browser holds."""
        return self.browser.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "fetch(arguments[0], {credentials: 'same-origin'}).then(r => done(r.status), e => done(String(e)));", path)

    def wait_drawn(self, shows=lambda status: True):
        """Waits until every panel is filled for the state whose status line satisfies `shows`."""
        self.until(lambda b: b.execute_script("return document.body.dataset.drawn") in ("1", "error")
                   and (b.execute_script("return document.body.dataset.drawn") == "error"
                        or shows(b.find_element(By.ID, "status").text)))
        problem = self.browser.find_element(By.ID, "problem")
        self.assertFalse(problem.is_displayed(), problem.text)

    def table(self, table_id):
        rows = self.browser.find_elements(By.CSS_SELECTOR, "#%s tbody tr:not(.more)" % table_id)
        return [[td.text for td in row.find_elements(By.TAG_NAME, "td")] for row in rows]

    def tile(self, tile_id):
        return number(self.browser.find_element(By.CSS_SELECTOR, "#%s .value" % tile_id).text)

    def chips(self):
        return sorted(c.get_attribute("data-filter") for c in self.browser.find_elements(By.CSS_SELECTOR, "#chips .chip"))

    def click_row(self, table_id, text):
        row = [r for r in self.browser.find_elements(By.CSS_SELECTOR, "#%s tbody tr" % table_id)
               if r.find_element(By.TAG_NAME, "td").text == text][0]
        row.click()

    def test_sign_in_figures_filters_history_errors_phone_and_devices(self):
        b, s = self.browser, self.server

        # Without the token: the page is the sign-in form (with a visible label) and the API refuses.
        b.get(s.base + "/")
        self.until(lambda b: b.find_element(By.ID, "token").is_displayed())
        self.assertEqual(b.find_element(By.CSS_SELECTOR, "label[for=token]").text, "Access token")
        self.assertEqual(self.fetch_status("/api/v1/apps"), 401)
        b.find_element(By.ID, "token").send_keys("not-the-token")
        b.find_element(By.ID, "signin").click()
        # The answer is a new page: wait for its message, looking the element up afresh each time.
        self.until(lambda b: "Wrong access token" in b.find_element(By.CSS_SELECTOR, ".error").text)
        self.assertEqual(self.fetch_status("/api/v1/apps"), 401)

        self.until(lambda b: b.find_element(By.ID, "token")).send_keys(s.token)
        b.find_element(By.ID, "signin").click()
        self.wait_drawn()
        session = b.get_cookie("tallyscope_session")
        self.assertTrue(session["httpOnly"])
        self.assertEqual(session["sameSite"], "Strict")
        self.assertNotIn("tallyscope_session", b.execute_script("return document.cookie"))

        # The busiest application is shown first.
        picker = Select(b.find_element(By.ID, "app"))
        self.assertEqual([o.get_attribute("value") for o in picker.options], [SECOND, FIRST])
        self.wait_drawn(lambda status: status.startswith(SECOND))
        self.assertIn("app=" + SECOND, b.current_url)

        path = "/api/v1/apps/%s/" % SECOND
        days = s.get_json(path + "daily")["days"]
        today, start = days[-1]["date"], days[0]["date"]
        self.assertTrue(days[-1]["partial"])
        self.assertEqual(self.tile("tile-active-last"), days[-1]["active_devices"])
        self.assertIn("so far", b.find_element(By.CSS_SELECTOR, "#tile-active-last .label").text)
        self.assertEqual(b.find_element(By.CSS_SELECTOR, "#tile-active-last .change").text, "—")
        self.assertTrue(any("(so far)" in e.text for e in b.find_elements(By.CSS_SELECTOR, "#chart-devices .u-legend th")))
        self.assertEqual(self.tile("tile-active-range"),
                         s.get_json(path + "active", **{"from": start, "to": today})["active_devices"])
        for tile, key in (("tile-new", "new_devices"), ("tile-events", "app_events"), ("tile-actions", "actions")):
            self.assertEqual(self.tile(tile), sum(d[key] for d in days), tile)
        self.assertEqual(self.tile("tile-active-last"), 12)
        self.assertIn("12", b.find_element(By.ID, "chart-devices").get_attribute("aria-label"))
        # The legend shows the last day's values before any hover.
        self.assertIn("12", [v.text for v in b.find_elements(By.CSS_SELECTOR, "#chart-devices .u-legend .u-value")])

        def shown(rows):
            return [[r["value"] or "(empty)", "{:,}".format(r["reports"]), "{:,}".format(r["devices"])] for r in rows]

        for table, dimension in (("top-event", "event"), ("top-action", "action")):
            rows = s.get_json(path + "top", dimension=dimension, **{"from": start, "to": today})["rows"]
            self.assertEqual(self.table(table), shown(rows), table)
        for table, dimension in (("top-channel", "channel"), ("top-os", "os"), ("top-osversion", "osversion")):
            series = s.get_json(path + "breakdown", dimension=dimension, limit=100, **{"from": start, "to": today})["series"]
            self.assertEqual(self.table(table), shown(series), table)
        # Action rows are reached and picked by keyboard; the pick is kept in the URL.
        second_action = self.table("top-action")[1][0]
        rows = b.find_elements(By.CSS_SELECTOR, "#top-action tbody tr")
        rows[1].send_keys(Keys.ENTER)
        self.until(lambda b: "action=" + second_action in urllib.parse.unquote(b.current_url))
        self.until(lambda b: self.table("top-content") == shown(s.get_json(
            path + "top", dimension="content", action=second_action)["rows"]))

        # Filters: a click on a channel row, then on an OS row; each is a chip and in the URL.
        self.click_row("top-channel", "web")
        self.wait_drawn(lambda status: "channel “web”" in status)
        self.click_row("top-os", "Windows 11")
        self.wait_drawn(lambda status: "os name “Windows 11”" in status)
        self.assertEqual(self.chips(), ["channel", "os"])
        self.assertIn("channel=web", b.current_url)
        both = {"channel": "web", "os": "Windows 11"}
        filtered = s.get_json(path + "daily", **both)["days"]
        self.assertEqual(self.tile("tile-events"), sum(d["app_events"] for d in filtered))
        self.assertEqual(self.tile("tile-active-range"), s.get_json(path + "active", **both)["active_devices"])
        self.assertEqual(self.table("top-event"), shown(s.get_json(path + "top", dimension="event", **both)["rows"]))
        export = urllib.parse.urlsplit(b.find_element(By.ID, "export-range").get_attribute("href")).query
        self.assertEqual({k: v for k, v in urllib.parse.parse_qsl(export) if k in both}, both)
        self.viewport(1440, 900)
        b.save_screenshot(os.path.join(self.artifacts, "dashboard-1440-filters.png"))

        # Back drops the OS filter, forward brings it again; a fresh load of the URL restores both.
        b.back()
        self.wait_drawn(lambda status: "os name" not in status and "channel “web”" in status)
        self.assertEqual(self.chips(), ["channel"])
        b.forward()
        self.wait_drawn(lambda status: "os name “Windows 11”" in status)
        self.assertEqual(self.chips(), ["channel", "os"])
        url = b.current_url
        b.get("about:blank")
        b.get(url)
        self.wait_drawn(lambda status: "os name “Windows 11”" in status)
        self.assertEqual(self.chips(), ["channel", "os"])
        b.find_element(By.CSS_SELECTOR, "#chips .chip[data-filter=os] button").click()
        self.wait_drawn(lambda status: "os name" not in status)
        b.find_element(By.ID, "clear-filters").click()
        self.wait_drawn(lambda status: "channel" not in status)
        self.assertEqual(self.chips(), [])
        # A hash edited to an application the server does not know says so; back draws the last one.
        b.execute_script("location.hash = location.hash.replace(/app=[^&]*/, 'app=no-such-app')")
        self.until(lambda b: "no application “no-such-app”" in b.find_element(By.ID, "problem").text)
        b.back()
        self.wait_drawn(lambda status: status.startswith(SECOND))

        # An error stays in view with a retry; the retry draws again once the server answers.
        b.execute_script("window.scrollTo(0, document.body.scrollHeight)")
        b.execute_cdp_cmd("Network.enable", {})
        b.execute_cdp_cmd("Network.setBlockedURLs", {"urls": ["*/api/v1/*"]})
        b.find_element(By.CSS_SELECTOR, ".range button[data-days='7']").click()
        self.until(lambda b: b.find_element(By.ID, "problem").is_displayed())
        self.assertIn("range=7", b.current_url)
        self.assertEqual(b.find_element(By.CSS_SELECTOR, ".range button.active").text, "7 days")
        self.assertTrue(b.execute_script(
            "const r = document.getElementById('problem').getBoundingClientRect();"
            "return r.top >= 0 && r.bottom <= window.innerHeight"))
        b.save_screenshot(os.path.join(self.artifacts, "dashboard-1440-error.png"))
        b.execute_cdp_cmd("Network.setBlockedURLs", {"urls": []})
        b.find_element(By.ID, "retry").click()
        self.wait_drawn(lambda status: status.startswith(SECOND))

        # An inverted custom range says what was typed.
        b.find_element(By.CSS_SELECTOR, ".range button[data-days='custom']").click()
        self.wait_drawn()
        for field, value in (("from", "2026-03-05"), ("to", "2026-03-01")):
            b.find_element(By.ID, field).clear()
            b.find_element(By.ID, field).send_keys(value)
        b.find_element(By.ID, "apply-range").click()
        self.until(lambda b: "starts (2026-03-05) after it ends (2026-03-01)" in b.find_element(By.ID, "problem").text)
        b.find_element(By.CSS_SELECTOR, ".range button[data-days='30']").click()
        self.wait_drawn()

        # The phone: nothing wider than the screen, the charts narrowed to it.
        self.viewport(390, 844)
        self.until(lambda b: b.execute_script("return document.getElementById('chart-devices').querySelector('canvas')"
                                              ".getBoundingClientRect().width") <= 390)
        self.assertLessEqual(b.execute_script("return document.documentElement.scrollWidth"), 390)
        b.save_screenshot(os.path.join(self.artifacts, "dashboard-390.png"))
        self.viewport(1440, 900)
        b.save_screenshot(os.path.join(self.artifacts, "dashboard-1440.png"))

        # Device look-up by computer name: a list of matches, one picked, kept in the URL.
        b.find_element(By.ID, "device-q").send_keys("pc")
        b.find_element(By.CSS_SELECTOR, "#device-form button").click()
        self.until(lambda b: b.find_element(By.ID, "device-matches").is_displayed())
        self.assertEqual(len(self.table("device-matches")), 12)
        target = [r for r in b.find_elements(By.CSS_SELECTOR, "#device-matches tbody tr")
                  if r.find_elements(By.TAG_NAME, "td")[4].text == device(3)][0]
        target.click()
        self.until(lambda b: b.find_element(By.ID, "device").is_displayed())
        self.assertIn("device=" + device(3), b.current_url)
        inventory = dict(self.table("device-inventory"))
        self.assertEqual(inventory["OS name"], "Windows 11")
        self.assertEqual(dict(self.table("device-summary"))["Days active"], "1")
        self.assertEqual(self.fetch_status(b.find_element(By.ID, "export-range").get_attribute("href")), 200)
        self.assertTrue(all(b.find_element(By.ID, i).get_attribute("data-admin-only") is not None
                            for i in ("device-lookup", "device-erase", "export-range", "export-all")))

        # The erase button asks first, then the device is gone from the API and from the tiles.
        b.find_element(By.ID, "device-erase").click()
        WebDriverWait(b, 10).until(expected_conditions.alert_is_present()).accept()
        self.until(lambda b: "erased" in b.find_element(By.ID, "device-status").text)
        self.assertEqual(s.get(path + "devices/" + device(3)).status, 404)
        self.wait_drawn(lambda status: status.startswith(SECOND))
        self.assertEqual(self.tile("tile-active-last"), 11)

        # A session that ends says so at the sign-in, and signing in again comes back to the same view.
        b.find_element(By.CSS_SELECTOR, ".range button[data-days='90']").click()
        self.wait_drawn()
        b.delete_cookie("tallyscope_session")
        b.find_element(By.CSS_SELECTOR, ".range button[data-days='7']").click()
        self.until(lambda b: "session has ended" in b.find_element(By.CSS_SELECTOR, ".error").text)
        self.until(lambda b: b.find_element(By.ID, "token")).send_keys(s.token)
        b.find_element(By.ID, "signin").click()
        self.wait_drawn(lambda status: status.startswith(SECOND))
        self.assertIn("range=7", b.current_url)

        # Signing out ends the session: the page and the API refuse again.
        b.find_element(By.CSS_SELECTOR, ".signout button").click()
        self.until(lambda b: b.find_elements(By.ID, "token"))
        self.assertEqual(self.fetch_status("/api/v1/apps"), 401)

    def test_an_empty_server_explains_how_to_start(self):
        empty = ApiServer()
        try:
            b = self.browser
            b.get(empty.base + "/")
            self.until(lambda b: b.find_element(By.ID, "token")).send_keys(empty.token)
            b.find_element(By.ID, "signin").click()
            self.until(lambda b: b.execute_script("return document.body.dataset.drawn") == "1")
            self.assertTrue(b.find_element(By.ID, "welcome").is_displayed())
            self.assertFalse(b.find_element(By.ID, "dashboard").is_displayed())
            self.assertFalse([a for a in b.find_elements(By.TAG_NAME, "a") if a.get_attribute("href", ) == "#"])
        finally:
            empty.stop()

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
