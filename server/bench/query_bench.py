"""Query API and dashboard speed on a loaded store. Prints figures; passes or fails nothing.

    query_bench.py --server BIN (--data DIR | --csv FILE [--cache DIR]) [--store URL] [--runs N] [--browser-runs N]

With --csv, the export-format FILE is loaded by `tallyscope-server import` into a SQLite data
folder kept under --cache (default build/store-bench) for the next run. Starts tallyscope-server
on the data folder, picks the
application with the most reports, and times over one keep-alive connection: daily, top (every
dimension) and retention for the 90 days ending on its last day, the 30-day active-device count,
and GET /healthz as the floor of one HTTP round trip; then the same figures under two filters
(the busiest channel and OS name), every breakdown, and a device search. Then loads the dashboard
in headless Chromium on the same 90 days, without and with those two filters, and reports the
time from navigation until every panel is drawn, and where that time went. With --store URL the
server reads a PostgreSQL store loaded before (--data is then only its data folder: the token).
"""
import argparse
import datetime
import http.client
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse


def start_server(binary, data, store=None):
    log = tempfile.NamedTemporaryFile(prefix="tallyscope-bench-", suffix=".log", delete=False)
    process = subprocess.Popen([binary, "--listen", "127.0.0.1:0", "--data", data] + (["--store", store] if store else []),
                               stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 300
    port = token_file = None
    while time.monotonic() < deadline and process.poll() is None and (port is None or token_file is None):
        with open(log.name, encoding="utf-8", errors="replace") as f:
            text = f.read()
        port = port or (re.search(r"event=start listen=\S*:(\d+)", text) or [None, None])[1]
        token_file = token_file or (re.search(r"event=access_token file=(\S+)", text) or [None, None])[1]
        time.sleep(0.1)
    if port is None or token_file is None:
        process.kill()
        sys.exit("query_bench: the server did not start:\n" + open(log.name).read())
    with open(token_file) as f:
        return process, int(port), f.read().strip(), log.name


def load(binary, csv, cache):
    """The data folder holding `csv` as imported, made once and kept under `cache`."""
    data = os.path.join(os.path.abspath(cache), "dashboard-" + os.path.splitext(os.path.basename(csv))[0])
    done = os.path.join(data, "imported-from")
    stamp = "%s %d %d\n" % (os.path.abspath(csv), os.path.getsize(csv), int(os.path.getmtime(csv)))
    if os.path.exists(done) and open(done).read() == stamp:
        return data
    shutil.rmtree(data, ignore_errors=True)
    begin = time.perf_counter()
    subprocess.run([binary, "import", "--data", data, csv], check=True, stdout=subprocess.DEVNULL)
    print("loaded %s by import in %.1f s" % (csv, time.perf_counter() - begin))
    with open(done, "w") as f:
        f.write(stamp)
    return data


def timed(connection, token, path, runs):
    times = []
    for _ in range(runs):
        begin = time.perf_counter()
        connection.request("GET", path, headers={"Authorization": "Bearer " + token})
        response = connection.getresponse()
        body = response.read()
        times.append((time.perf_counter() - begin) * 1000)
        if response.status != 200:
            sys.exit("query_bench: %s -> %d %s" % (path, response.status, body[:200]))
    return times


def line(label, times):
    times = sorted(times)
    p95 = times[min(len(times) - 1, int(len(times) * 0.95))]
    print("  %-44s median %8.2f ms   p95 %8.2f ms   min %8.2f ms" % (label, statistics.median(times), p95, times[0]))


# Where one load's time went, from the page's own marks and the browser's resource timings (ms
# since navigation): the page in, the figures asked, the last API answer in, the filled page
# painted, and the main thread's time in each panel's drawing.
PHASES = """
const api = performance.getEntriesByType("resource").filter((e) => e.name.includes("/api/"));
const mark = (name) => { const m = performance.getEntriesByName(name); return m.length ? m[0].startTime : null; };
const drawing = {};
for (const m of performance.getEntriesByType("measure"))
  if (m.name.startsWith("tallyscope-draw ")) drawing[m.name.slice(16)] = (drawing[m.name.slice(16)] || 0) + m.duration;
return {
  html: performance.getEntriesByType("navigation")[0].responseEnd,
  asked: mark("tallyscope-asked"),
  requests: api.length,
  lastAnswer: Math.max(...api.map((e) => e.responseEnd)),
  painted: window.tallyscopePaintedMs,
  drawing,
  slowest: api.map((e) => [new URL(e.name).pathname.split("/").pop() + (new URL(e.name).searchParams.get("dimension") || ""),
                           e.responseEnd - e.startTime]).sort((a, b) => b[1] - a[1]).slice(0, 4),
};
"""


def phase_lines(label, phases):
    median = lambda key: statistics.median(p[key] for p in phases if p[key] is not None) if any(
        p[key] is not None for p in phases) else float("nan")
    panels = sorted({k for p in phases for k in p["drawing"]})
    spent = {k: statistics.median(p["drawing"].get(k, 0) for p in phases) for k in panels}
    print("    %s: page %.0f ms, figures asked at %.0f ms (%d API requests), last answer in at %.0f ms,"
          " painted at %.0f ms; drawing (main thread, median per panel): %s" % (
              label, median("html"), median("asked"), statistics.median(p["requests"] for p in phases),
              median("lastAnswer"), median("painted"),
              ", ".join("%s %.1f" % (k, v) for k, v in sorted(spent.items(), key=lambda kv: -kv[1]))))
    slow = {}
    for p in phases:
        for name, ms in p.get("slowest", []):
            slow.setdefault(name, []).append(ms)
    print("    slowest API answers (median over the loads where they were among the 4 slowest, ms): %s" % ", ".join(
        "%s %.0f" % (k, statistics.median(v)) for k, v in sorted(slow.items(), key=lambda kv: -statistics.median(kv[1]))))


def dashboard(port, token, app, start, end, runs, filters=None):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.ui import WebDriverWait

    profile = tempfile.mkdtemp(prefix="tallyscope-bench-chromium-")
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--window-size=1400,2200", "--user-data-dir=" + profile):
        options.add_argument(argument)
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    browser = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                               options=options)
    base = "http://127.0.0.1:%d" % port
    try:
        browser.get(base + "/signin")
        browser.find_element("id", "token").send_keys(token)
        browser.find_element("id", "signin").click()
        WebDriverWait(browser, 120).until(lambda b: b.execute_script("return document.body.dataset.drawn === '1'"))
        hash_part = urllib.parse.urlencode(dict({"app": app, "range": "custom", "from": start, "to": end}, **(filters or {})))
        times, phases = [], []
        for _ in range(runs):
            browser.get("about:blank")
            browser.get(base + "/#" + hash_part)
            WebDriverWait(browser, 120).until(lambda b: b.execute_script(
                "return ['1', 'error'].includes(document.body.dataset.drawn)"))
            drawn = browser.execute_script("return window.tallyscopeDrawnMs")
            if browser.execute_script("return document.body.dataset.drawn") != "1" or drawn is None:
                sys.exit("query_bench: the dashboard failed: " + browser.find_element("id", "problem-text").text)
            times.append(drawn)
            # null until painted (a page of an older build never sets it).
            WebDriverWait(browser, 120).until(lambda b: b.execute_script("return window.tallyscopePaintedMs !== null"))
            phases.append(browser.execute_script(PHASES))
        return times, phases
    finally:
        browser.quit()
        shutil.rmtree(profile, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True)
    parser.add_argument("--data")
    parser.add_argument("--csv")
    parser.add_argument("--store", help="postgresql://... of a store loaded before (with --data)")
    parser.add_argument("--cache", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                        "..", "..", "build", "store-bench"))
    parser.add_argument("--runs", type=int, default=30)
    parser.add_argument("--browser-runs", type=int, default=5)
    args = parser.parse_args()

    if bool(args.data) == bool(args.csv) or (args.store and not args.data):
        sys.exit("query_bench: give --data or --csv (--store goes with --data)")
    data = args.data or load(args.server, args.csv, args.cache)
    process, port, token, log = start_server(args.server, data, args.store)
    try:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=300)
        connection.request("GET", "/api/v1/apps", headers={"Authorization": "Bearer " + token})
        apps = json.loads(connection.getresponse().read())["apps"]
        if not apps:
            sys.exit("query_bench: the store holds no reports")
        app = max(apps, key=lambda a: a["reports"])
        end = app["last_seen"]
        start = (datetime.date.fromisoformat(end) - datetime.timedelta(days=89)).isoformat()
        month = (datetime.date.fromisoformat(end) - datetime.timedelta(days=29)).isoformat()
        print("store: %d application(s); %s holds %d reports from %d devices, %s .. %s" % (
            len(apps), app["appkey"], app["reports"], app["devices"], app["first_seen"], app["last_seen"]))
        prefix = "/api/v1/apps/%s/" % urllib.parse.quote(app["appkey"], safe="")
        span = urllib.parse.urlencode({"from": start, "to": end})

        # First answers fill the page cache; they are reported apart from the warm figures.
        cold = {}
        for name in ("daily", "retention"):
            cold[name] = timed(connection, token, prefix + name + "?" + span, 1)[0]
        print("first (cold cache) answers: daily 90 days %.1f ms, retention 90 days %.1f ms" % (
            cold["daily"], cold["retention"]))
        print("over HTTP, keep-alive, %d runs each:" % args.runs)
        line("floor: GET /healthz", timed(connection, token, "/healthz", args.runs))
        line("daily, 90 days", timed(connection, token, prefix + "daily?" + span, args.runs))
        for dimension in ("event", "action", "content", "channel", "os", "osversion"):
            line("top %s, 90 days" % dimension,
                 timed(connection, token, prefix + "top?dimension=%s&%s" % (dimension, span), args.runs))
        line("retention, 90 days", timed(connection, token, prefix + "retention?" + span, args.runs))
        line("active devices, 30 days",
             timed(connection, token, prefix + "active?" + urllib.parse.urlencode({"from": month, "to": end}),
                   max(3, args.runs // 5)))

        def first_value(dimension):
            # The busiest value that names something: "" is the empty channel, or no OS yet.
            connection.request("GET", prefix + "breakdown?dimension=%s&limit=5&%s" % (dimension, span),
                               headers={"Authorization": "Bearer " + token})
            values = [s["value"] for s in json.loads(connection.getresponse().read())["series"]]
            return ([v for v in values if v] or values)[0]
        filters = {"channel": first_value("channel"), "os": first_value("os")}
        both = urllib.parse.urlencode(filters)
        print("with two filters, %s:" % both)
        line("daily, 90 days, 2 filters", timed(connection, token, prefix + "daily?%s&%s" % (span, both), args.runs))
        for dimension in ("event", "action", "osversion"):
            line("top %s, 90 days, 2 filters" % dimension,
                 timed(connection, token, prefix + "top?dimension=%s&%s&%s" % (dimension, span, both), args.runs))
        line("retention, 90 days, 2 filters", timed(connection, token, prefix + "retention?%s&%s" % (span, both), args.runs))
        line("active devices, 30 days, 2 filters",
             timed(connection, token, prefix + "active?%s&%s" % (urllib.parse.urlencode({"from": month, "to": end}), both),
                   max(3, args.runs // 5)))
        for dimension in ("channel", "os", "osversion", "event", "action"):
            line("breakdown %s, 90 days" % dimension,
                 timed(connection, token, prefix + "breakdown?dimension=%s&%s" % (dimension, span), args.runs))
            line("breakdown %s, 90 days, 2 filters" % dimension,
                 timed(connection, token, prefix + "breakdown?dimension=%s&%s&%s" % (dimension, span, both), args.runs))
        # A text no name holds, a name part many hold, an identifier's prefix in another case, and a
        # text of two characters every name starts with.
        connection.request("GET", prefix + "devices?q=pc-12&limit=1", headers={"Authorization": "Bearer " + token})
        found = json.loads(connection.getresponse().read())["devices"]
        searches = [("by name (q=pc1)", "pc1"), ("by name part (q=pc-12)", "pc-12"), ("short text (q=pc)", "pc")]
        if found:
            # The generated identifiers share their first 19 characters.
            searches.append(("by identifier prefix (22 chars, other case)", found[0]["deviceid"][:22].swapcase()))
        for label, q in searches:
            line("device search " + label,
                 timed(connection, token, prefix + "devices?" + urllib.parse.urlencode({"q": q}), max(3, args.runs // 5)))
        connection.close()

        if args.browser_runs > 0:
            times, phases = dashboard(port, token, app["appkey"], start, end, args.browser_runs)
            line("dashboard drawn in Chromium, 90 days (%d loads)" % len(times), times)
            phase_lines("medians", phases)
            times, phases = dashboard(port, token, app["appkey"], start, end, args.browser_runs, filters)
            line("dashboard drawn in Chromium, 90 days, 2 filters (%d loads)" % len(times), times)
            phase_lines("medians", phases)
    finally:
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=60)
        os.unlink(log)


if __name__ == "__main__":
    main()
