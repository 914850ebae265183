// The dashboard: every figure on the page comes from the JSON API as it answered; the page only
// lays the answers out. When every panel is filled, document.body gets data-drawn (and
// window.tallyscopeDrawnMs the time since navigation, then window.tallyscopePaintedMs once it is
// painted) so a browser test or benchmark can wait on it.
//
// The page's state lives in the URL's hash (application, range, filters, picked action, rate,
// looked-up device): every change the user makes is a history entry, so back and forward and an
// edited hash redraw what the URL says. A page that fixes the application (a shared dashboard)
// sets data-fixed-app on <body>; the picker then stays hidden.
"use strict";
performance.mark("tallyscope-script");

const $ = (id) => document.getElementById(id);
const DAY_MS = 86400000;
const FILTER_KEYS = ["channel", "os", "osversion"];
const FILTER_LABELS = { channel: "Channel", os: "OS name", osversion: "OS version" };
const TOP_ROWS = 10;
const INVENTORY_LABELS = {
  pcosname: "OS name", mac: "MAC address", pcosversion: "OS version", pcname: "Computer name",
  pcusername: "User name", windowssid: "Windows SID", pccpuid: "Processor ID", harddiskid: "Hard disk serial",
  mainboardcode: "Mainboard serial",
};

// filters: a value per key, null for "any"; "" is a value of its own (the empty channel, or no
// device information yet).
const state = {
  app: "", days: 30, from: "", to: "", filters: { channel: null, os: null, osversion: null },
  action: null, rate: null, device: null, fleet: "osversion", more: {}, today: "",
};
const fixedApp = document.body.dataset.fixedApp || "";
let drawSerial = 0;
const charts = {};
const appsByKey = {};

// --- dates: YYYY-MM-DD strings, counted in whole days (the server's reporting days) ---
function dayNumber(text) {
  const [y, m, d] = text.split("-").map(Number);
  return Math.floor(Date.UTC(y, m - 1, d) / DAY_MS);
}
function dayText(number) { return new Date(number * DAY_MS).toISOString().slice(0, 10); }
function shift(text, days) { return dayText(dayNumber(text) + days); }
function isDate(text) {
  if (!/^\d{4}-\d{2}-\d{2}$/.test(text)) return false;
  return dayText(dayNumber(text)) === text;
}

// --- the API ---
class ApiError extends Error {}
async function api(path, options) {
  const response = await fetch(path, Object.assign({ credentials: "same-origin", headers: { Accept: "application/json" } }, options));
  if (response.status === 401) {
    // The session ended: keep where the user was, so signing in again comes back to it.
    try { sessionStorage.setItem("tallyscope-return", location.hash); } catch (ignored) { /* storage off */ }
    location.href = "/?session=ended";
    throw new ApiError("Your session has ended; sign in again.");
  }
  if (!response.ok) {
    let reason = response.statusText;
    try { reason = (await response.json()).error || reason; } catch (ignored) { /* not JSON */ }
    throw new ApiError(`the server answered ${response.status}: ${reason}`);
  }
  return response.status === 204 ? null : response.json();
}
function appPath(suffix, params) {
  const query = new URLSearchParams();
  for (const [k, v] of Object.entries(params || {})) if (v !== undefined && v !== null) query.set(k, v);
  const q = query.toString();
  return `/api/v1/apps/${encodeURIComponent(state.app)}/${suffix}${q ? "?" + q : ""}`;
}
function withFilters(params, except) {
  const out = Object.assign({}, params);
  for (const key of FILTER_KEYS) if (key !== except && state.filters[key] !== null) out[key] = state.filters[key];
  return out;
}

// --- small DOM helpers (text only: values come from clients and are never parsed as HTML) ---
function el(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text;
  if (className) node.className = className;
  return node;
}
const number = new Intl.NumberFormat("en-US");
function fmt(n) { return n === null || n === undefined ? "—" : number.format(n); }
function percent(x) { return x === null || x === undefined ? "—" : (x * 100).toFixed(1) + " %"; }
function shownValue(value, key) {
  if (value !== "") return value;
  return key === "os" || key === "osversion" ? "(no device information yet)" : "(empty)";
}

function fillTable(table, headers, rows, cells, emptyText) {
  table.replaceChildren();
  const head = el("thead");
  const hr = el("tr");
  headers.forEach(([label, num]) => {
    const th = el("th", label, num ? "num" : "");
    th.scope = "col";
    hr.append(th);
  });
  head.append(hr);
  const body = el("tbody");
  if (rows.length === 0) {
    const tr = el("tr");
    const td = el("td", emptyText || "No reports in this range", "empty");
    td.colSpan = headers.length;
    tr.append(td);
    body.append(tr);
  }
  for (const row of rows) {
    const tr = el("tr");
    cells(row).forEach(([text, className]) => tr.append(el("td", text, className)));
    body.append(tr);
  }
  table.append(head, body);
  return body;
}

// A row that does something when picked, by mouse or keyboard.
function pickable(tr, label, onPick) {
  tr.tabIndex = 0;
  tr.classList.add("pick");
  tr.setAttribute("role", "button");
  tr.setAttribute("aria-label", label);
  tr.addEventListener("click", onPick);
  tr.addEventListener("keydown", (e) => {
    if (e.key === "Enter" || e.key === " ") { e.preventDefault(); onPick(); }
  });
}

// A top table: the first rows, and a "more" row when the server had more to give.
function fillTop(table, label, rows, key, onPick) {
  const limit = state.more[table.id] || TOP_ROWS;
  const shown = rows.slice(0, limit);
  const body = fillTable(table, [[label], ["Reports", true], ["Devices", true]], shown,
    (r) => [[shownValue(r.value, key), "value"], [fmt(r.reports), "num"], [fmt(r.devices), "num"]]);
  if (onPick) [...body.rows].forEach((tr, i) => {
    if (shown[i]) pickable(tr, `${label} ${shownValue(shown[i].value, key)}`, () => onPick(shown[i].value));
  });
  if (rows.length > limit) {
    const tr = el("tr", undefined, "more");
    const td = el("td");
    td.colSpan = 3;
    const button = el("button", `Show more (${rows.length > 100 ? "100+" : rows.length - limit} more)`, "link");
    button.type = "button";
    button.addEventListener("click", () => { state.more[table.id] = limit + 40; draw(); });
    td.append(button);
    tr.append(td);
    body.append(tr);
  }
  return body;
}

// A change against a previous period; "—" when that period has no data to compare with.
function setTile(id, value, label, change, periodText) {
  const tile = $(id);
  if (label) tile.querySelector(".label").textContent = label;
  tile.querySelector(".value").textContent = fmt(value);
  const node = tile.querySelector(".change");
  node.className = "change";
  node.textContent = "—";
  node.title = change && change.why ? change.why : "";
  if (change && change.previous) {
    const ratio = (change.current - change.previous) / change.previous;
    node.textContent = (ratio > 0 ? "+" : ratio < 0 ? "−" : "±") + Math.abs(ratio * 100).toFixed(1) + " %";
    node.classList.add(ratio > 0 ? "up" : ratio < 0 ? "down" : "flat");
    node.title = `${fmt(change.current)} vs. ${fmt(change.previous)} (${change.why})`;
  }
  tile.querySelector(".period").textContent = periodText || "";
}

function sum(days, key) { return days.reduce((total, d) => total + d[key], 0); }

// --- charts ---
const isoDay = (ts) => dayText(Math.floor(ts / 86400));
function axisColor() { return getComputedStyle(document.body).getPropertyValue("--muted").trim() || "#667085"; }
function gridColor() { return getComputedStyle(document.body).getPropertyValue("--line").trim() || "#e2e5ea"; }
// While a draw fills the page: the charts' widths and colours, read once before anything is
// written, so each chart does not make the browser lay out the half-filled page again.
let chartLook = null;
function readChartLook() {
  const widths = {};
  for (const key of ["devices", "reports", "fleet", "rate"]) widths[key] = $("chart-" + key).clientWidth;
  return { axis: axisColor(), grid: gridColor(), widths };
}

// Draws day series; the last day, when partial, is a dashed continuation labelled "so far".
function drawChart(key, target, dates, series, options) {
  options = options || {};
  const xs = dates.map((d) => dayNumber(d) * 86400);
  const partial = options.partial && xs.length > 0;
  const data = [xs];
  const seriesOptions = [{ label: options.xLabel || "Day", value: (u, ts) => (ts === null || ts === undefined ? "—" : isoDay(ts)) }];
  for (const s of series) {
    const values = s.values.slice();
    if (partial) values[values.length - 1] = null;
    data.push(values);
    seriesOptions.push({ label: s.label, stroke: s.stroke, width: 2, points: { show: xs.length <= 45 },
      value: (u, v) => (v === null || v === undefined ? "—" : (options.format || fmt)(v)) });
    if (partial) {
      data.push(s.values.map((v, i) => (i >= s.values.length - 2 ? v : null)));
      seriesOptions.push({ label: s.label + " (so far)", stroke: s.stroke, width: 2, dash: [6, 5], points: { show: true },
        value: (u, v) => (v === null || v === undefined ? "—" : (options.format || fmt)(v)) });
    }
  }
  const maxValue = Math.max(1, ...data.slice(1).flat().filter((v) => v !== null));
  const look = chartLook || {};
  const width = Math.max(200, look.widths && look.widths[key] !== undefined ? look.widths[key] : target.clientWidth);
  if (charts[key]) charts[key].destroy();
  const grid = look.grid || gridColor();
  const axis = { stroke: look.axis || axisColor(), grid: { stroke: grid }, ticks: { stroke: grid } };
  charts[key] = new uPlot({
    width, height: 240,
    cursor: { sync: { key: "tallyscope-days", setSeries: false } },
    scales: { x: { time: false, range: (u, min, max) => (min === max ? [min - 86400, max + 86400] : [min, max]) }, y: { range: () => [0, niceCeiling(Math.max(options.yMax || 0, maxValue, 4))] } },
    axes: [
      Object.assign({}, axis, {
        space: 70,
        incrs: [86400, 86400 * 2, 86400 * 7, 86400 * 14, 86400 * 28, 86400 * 56],
        values: (u, splits) => splits.map((ts) => isoDay(ts).slice(5)),
      }),
      Object.assign({}, axis, {
        size: 60,
        incrs: [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000, 1e5, 2e5, 5e5, 1e6, 2e6, 5e6, 1e7],
        values: (u, splits) => splits.map((v) => (options.format || fmt)(v)),
      }),
    ],
    series: seriesOptions,
    // The legend shows the last day whenever the cursor points at no other.
    hooks: {
      ready: [(u) => { if (xs.length) u.setLegend({ idx: xs.length - 1 }); }],
      setCursor: [(u) => { if (u.cursor.idx === null || u.cursor.idx === undefined) { if (xs.length) u.setLegend({ idx: xs.length - 1 }); } }],
    },
  }, data, target);
  target.setAttribute("aria-label", options.describe || describeChart(series, dates));
}

// The y axis runs from zero to the first 1, 2 or 5 times a power of ten at or above the peak.
function niceCeiling(value) {
  const power = Math.pow(10, Math.floor(Math.log10(value)));
  for (const step of [1, 1.2, 1.5, 2, 2.5, 3, 4, 5, 6, 8, 10]) if (step * power >= value) return step * power;
  return 10 * power;
}

function describeChart(series, dates) {
  if (!dates.length) return "No days to show";
  return `From ${dates[0]} to ${dates[dates.length - 1]}: ` + series.map((s) => {
    const peak = Math.max(...s.values);
    return `${s.label}: ${fmt(s.values[s.values.length - 1])} on the last day, most ${fmt(peak)} on ${dates[s.values.indexOf(peak)]}`;
  }).join("; ") + ".";
}

// Charts follow the width of their panels (a rotated phone, a resized window).
const resizer = new ResizeObserver((entries) => {
  for (const entry of entries) {
    const chart = Object.values(charts).find((c) => c.root.parentNode === entry.target);
    if (chart && Math.abs(chart.width - entry.contentRect.width) > 1)
      chart.setSize({ width: Math.max(200, entry.contentRect.width), height: 240 });
  }
});
document.querySelectorAll(".chart").forEach((c) => resizer.observe(c));

// --- the range the page shows ---
function currentRange() {
  if (state.days === "custom" && isDate(state.from) && isDate(state.to)) return { from: state.from, to: state.to };
  const days = state.days === "custom" ? 30 : state.days;
  return { from: shift(state.today, 1 - days), to: state.today };
}

// --- the URL ---
function hashOf() {
  const params = new URLSearchParams();
  if (!fixedApp) params.set("app", state.app);
  params.set("range", String(state.days));
  if (state.days === "custom") { params.set("from", state.from); params.set("to", state.to); }
  for (const key of FILTER_KEYS) if (state.filters[key] !== null) params.set(key, state.filters[key]);
  if (state.action !== null) params.set("action", state.action);
  if (state.rate) params.set("rate", state.rate);
  if (state.fleet !== "osversion") params.set("fleet", state.fleet);
  if (state.device) params.set("device", state.device);
  return "#" + params.toString();
}
// A user's change: a new history entry, then the page drawn for it.
function navigate() {
  const hash = hashOf();
  if (hash !== location.hash) history.pushState(null, "", hash);
  draw();
}
function loadHash() {
  const params = new URLSearchParams(location.hash.slice(1));
  state.app = fixedApp || params.get("app") || "";
  const range = params.get("range");
  state.days = range === "custom" ? "custom" : [7, 30, 90].includes(Number(range)) ? Number(range) : 30;
  state.from = params.get("from") || "";
  state.to = params.get("to") || "";
  for (const key of FILTER_KEYS) state.filters[key] = params.get(key);
  state.action = params.get("action");
  state.rate = params.get("rate");
  state.fleet = params.get("fleet") === "os" ? "os" : "osversion";
  state.device = params.get("device");
  state.more = {};
}

function setStatus(text) { $("status").textContent = text; }
function showProblem(text) {
  $("problem-text").textContent = text;
  $("problem").hidden = false;
  $("dashboard").classList.add("stale");
  $("problem").scrollIntoView({ block: "nearest" });
}
function clearProblem() {
  $("problem").hidden = true;
  $("dashboard").classList.remove("stale");
}

// --- the controls reflect the state before any answer comes ---
function showControls() {
  document.querySelectorAll(".range button[data-days]").forEach((b) => {
    const on = String(state.days) === b.dataset.days;
    b.classList.toggle("active", on);
    b.setAttribute("aria-pressed", String(on));
  });
  $("custom-range").hidden = state.days !== "custom";
  if (state.days === "custom") {
    if (document.activeElement !== $("from")) $("from").value = state.from;
    if (document.activeElement !== $("to")) $("to").value = state.to;
  }
  if (!fixedApp) $("app").value = state.app;
  const chips = $("chips");
  chips.replaceChildren();
  let any = false;
  for (const key of FILTER_KEYS) {
    if (state.filters[key] === null) continue;
    any = true;
    const chip = el("span", undefined, "chip");
    chip.dataset.filter = key;
    chip.append(el("span", `${FILTER_LABELS[key]}: ${shownValue(state.filters[key], key)}`));
    const remove = el("button", "×");
    remove.type = "button";
    remove.setAttribute("aria-label", `Remove the filter ${FILTER_LABELS[key]}: ${shownValue(state.filters[key], key)}`);
    remove.addEventListener("click", () => { state.filters[key] = null; navigate(); });
    chip.append(remove);
    chips.append(chip);
  }
  $("filters").hidden = !any;
  document.querySelectorAll("[data-fleet]").forEach((b) => {
    b.classList.toggle("active", b.dataset.fleet === state.fleet);
    b.setAttribute("aria-pressed", String(b.dataset.fleet === state.fleet));
  });
}

function setFilter(key, value) {
  state.filters[key] = value;
  state.more = {};
  navigate();
}

// --- drawing every panel ---
// The applications' answer (each one's first day) while it is on its way; boot() sets it, and
// says itself when it fails.
let appsReady = Promise.resolve();
// The server's today, kept for the tab: a reload or an opened link asks its figures at once, and
// the applications' answer, asked beside them, says whether it still holds.
function rememberToday(today) {
  state.today = today;
  try { sessionStorage.setItem("tallyscope-today", today); } catch (ignored) { /* storage off */ }
}
function recalledToday() {
  try { return sessionStorage.getItem("tallyscope-today") || ""; } catch (ignored) { return ""; }
}

// withApps: drawn by boot(), whose applications' answer names the server's today.
async function draw(withApps) {
  const serial = ++drawSerial;
  delete document.body.dataset.drawn;
  performance.clearMarks();
  performance.clearMeasures();
  showControls();
  if (!state.app) {
    clearProblem();
    $("dashboard").hidden = true;
    $("welcome").hidden = false;
    $("welcome-host").textContent = location.host;
    setStatus("");
    document.body.dataset.drawn = "1";
    return;
  }
  $("dashboard").hidden = false;
  $("welcome").hidden = true;
  if (state.days === "custom" && (!isDate(state.from) || !isDate(state.to) || state.from > state.to)) {
    showProblem(!isDate(state.from) || !isDate(state.to)
      ? "Type both dates of the custom range as YYYY-MM-DD."
      : `The custom range starts (${state.from}) after it ends (${state.to}): swap the dates.`);
    document.body.dataset.drawn = "1";
    return;
  }
  setStatus("Loading…");
  try {
    // The server's today (its reporting time zone) is the last day of the default range. It is
    // known from the applications' answer or the last draw, and checked against the applications'
    // answer (on a boot) or a small answer asked beside the figures: when the day has turned
    // meanwhile, the page draws again.
    if (!state.today) {
      const latest = await api(appPath("daily"));
      if (serial !== drawSerial) return;
      rememberToday(latest.days[latest.days.length - 1].date);
    }
    const assumedToday = state.today;
    const { from, to } = currentRange();
    const length = dayNumber(to) - dayNumber(from) + 1;
    const prevFrom = shift(from, -length);
    const toIsToday = to === state.today;
    // A day not over yet is compared with nothing: the complete days are compared instead.
    const lastFull = toIsToday ? shift(to, -1) : to;
    const fullLength = dayNumber(lastFull) - dayNumber(from) + 1;
    // Every figure under the filters; a question asked twice in one draw (a range that is
    // already complete) goes to the server once.
    const asked = {};
    const ask = (suffix, params) => {
      const path = appPath(suffix, withFilters(params));
      if (!asked[path]) {
        asked[path] = api(path);
        // Seen by the panel that draws it, or by nobody when a newer draw took over.
        asked[path].catch(() => null);
      }
      return asked[path];
    };
    // The picked action and rate are known from the URL, or else are the busiest ones: either
    // way they are asked as soon as known, not after the tables are drawn.
    const pickAction = (rows) => (rows.some((r) => r.value === state.action) ? state.action : rows.length ? rows[0].value : null);
    const pickRate = (eventRows, actionRows) => state.rate ||
      (eventRows.length ? "event:" + eventRows[0].value : actionRows.length ? "action:" + actionRows[0].value : null);
    const contentsOf = (action) => ask("top", { dimension: "content", action, from, to, limit: 101 })
      .then((answer) => ({ action, answer }));
    const rateOf = (rate) => ask("breakdown", { dimension: rate.slice(0, rate.indexOf(":")), from, to, limit: 1000 })
      .then((answer) => ({ rate, answer }));
    performance.mark("tallyscope-asked");
    // Asked in the order the page shows them: the browser sends a few at a time.
    const latest = withApps ? null : api(appPath("daily", { from: shift(assumedToday, -1) }));
    if (latest) latest.catch(() => null);
    const span = ask("daily", { from: prevFrom, to });
    const activeRange = ask("active", { from, to });
    const activeFull = fullLength > 0 ? ask("active", { from, to: lastFull }) : null;
    const activeBefore = fullLength > 0 ? ask("active", { from: shift(from, -fullLength), to: shift(from, -1) }) : null;
    const active7 = ask("active", { from: shift(to, -6), to });
    const active7Full = ask("active", { from: shift(lastFull, -6), to: lastFull });
    const active7Before = ask("active", { from: shift(lastFull, -13), to: shift(lastFull, -7) });
    const events = ask("top", { dimension: "event", from, to, limit: 101 });
    // With no action in the URL, the busiest one's contents come with the actions' answer.
    const actions = ask("top", { dimension: "action", from, to, limit: 101, contents: state.action === null ? "first" : undefined });
    const contents = state.action !== null ? contentsOf(state.action) : actions.then((answer) => {
      const action = pickAction(answer.rows);
      if (action === null) return null;
      return answer.contents && answer.contents.action === action ? { action, answer: { rows: answer.contents.rows } } : contentsOf(action);
    });
    // The rate's answer is the whole dimension's breakdown, whichever name is picked: with no rate
    // in the URL, the events' one (the usual pick) is asked at once beside the others.
    if (!state.rate) ask("breakdown", { dimension: "event", from, to, limit: 1000 });
    const channels = ask("breakdown", { dimension: "channel", from, to, limit: 101 });
    const oses = ask("breakdown", { dimension: "os", from, to, limit: 101 });
    const versions = ask("breakdown", { dimension: "osversion", from, to, limit: 101 });
    const retention = ask("retention", { from, to });
    const rateSeries = state.rate ? rateOf(state.rate) : Promise.all([events, actions]).then(([e, c]) => {
      const rate = pickRate(e.rows, c.rows);
      return rate ? rateOf(rate) : null;
    });
    for (const p of [contents, rateSeries]) p.catch(() => null);

    // The page is laid out once the applications' answer (each one's first day) and the server's
    // today are in.
    // On a boot, boot() itself says why the applications did not load, and draws another
    // application when the URL names one the server does not know.
    try {
      await appsReady;
    } catch (error) {
      if (withApps) return;
      throw error;
    }
    const app = appsByKey[state.app];
    if (serial !== drawSerial || (!app && withApps)) return;
    if (!app) throw new ApiError(`no application “${state.app}” has sent a report to this server`);
    const serverToday = latest ? (await latest).days.slice(-1)[0].date : state.today;
    if (serial !== drawSerial) return;
    if (serverToday !== assumedToday) {
      rememberToday(serverToday);
      return draw();
    }
    chartLook = readChartLook();
    const firstData = app.first_seen;
    // A new application: its charts and cohorts start on its first day, not 29 days of zeros before.
    const shownFrom = from < firstData && firstData <= to ? firstData : from;
    // Each panel is drawn from its own answers, all panels in one pass once every answer is in:
    // drawn as each answer came, the page was laid out and painted once per answer, which on a
    // busy machine cost more than the wait (query_bench, painted at). The time each panel took is
    // a performance measure the benchmark reads back.
    const everything = Promise.all([span, activeRange, activeFull, activeBefore, active7, active7Full, active7Before,
      events, actions, contents, channels, oses, versions, retention, rateSeries]);
    const when = (name, promises, fill) => Promise.all([everything, ...promises]).then(([, ...answers]) => {
      if (serial !== drawSerial) return undefined;
      const begin = performance.now();
      const out = fill(...answers);
      performance.measure("tallyscope-draw " + name, { start: begin });
      return out;
    });
    const daysOf = span.then((answer) => {
      const current = answer.days.slice(length);
      const days = current.filter((d) => d.date >= shownFrom);
      return { previous: answer.days.slice(0, length), current, days,
        partial: current.length > 0 && current[current.length - 1].partial === true };
    });

    const actionTable = when("top-action", [actions], (c) => {
      const actionRows = c.rows;
      if (!actionRows.some((r) => r.value === state.action)) state.action = actionRows.length ? actionRows[0].value : null;
      const actionBody = fillTop($("top-action"), "Action", actionRows, "action", (v) => {
        state.action = v;
        history.pushState(null, "", hashOf());
        drawContents(from, to, actionBody);
      });
      [...actionBody.rows].forEach((tr, i) => { if (actionRows[i]) tr.dataset.action = actionRows[i].value; });
      return actionBody;
    });
    // The rate picker names the rate before its chart is drawn.
    const ratePicker = when("rate-picker", [events, actions], (e, c) => {
      const rateOptions = e.rows.slice(0, 50).map((r) => "event:" + r.value)
        .concat(c.rows.slice(0, 50).map((r) => "action:" + r.value));
      if (!rateOptions.includes(state.rate)) state.rate = state.rate || rateOptions[0] || null;
      fillRatePicker(rateOptions);
    });
    const panels = [
      when("tiles", [daysOf, activeRange, activeFull, activeBefore, active7, active7Full, active7Before], (d, aRange, aFull, aBefore, a7, a7Full, a7Before) => {
        const { previous, current, partial } = d;
        // Where a compared period starts before the first report, there is nothing to compare with.
        const comparable = (start) => start >= firstData;
        const compare = (cur, prev, start, why) => (comparable(start) && prev > 0 ? { current: cur, previous: prev, why } : { why: comparable(start) ? "nothing in the period before" : "the period before starts before the first report" });
        const fullDays = current.slice(0, fullLength);
        const prevFull = previous.slice(length - fullLength);
        const fullStart = shift(from, -fullLength);
        const completeWhy = partial ? `complete days only, ${from} – ${lastFull}, vs. the ${fullLength} days before` : `vs. the ${length} days before`;
        const period = `${from} – ${to}${partial ? " (today so far)" : ""}`;
        const last = current[current.length - 1];
        const dayBefore = current.length > 1 ? current[current.length - 2] : previous[previous.length - 1];
        if (partial) {
          setTile("tile-active-last", last.active_devices, "Active devices today, so far", { why: "today is not over: compared once complete" }, "compared once the day is over");
        } else {
          setTile("tile-active-last", last.active_devices, `Active devices on ${to}`,
            compare(last.active_devices, dayBefore ? dayBefore.active_devices : 0, shift(to, -1), "vs. the day before"), "vs. the day before");
        }
        setTile("tile-active-range", aRange.active_devices, `Active devices, ${length} days`,
          fullLength > 0 ? compare(aFull.active_devices, aBefore.active_devices, fullStart, completeWhy) : { why: "no complete day yet" }, period);
        setTile("tile-active-7", a7.active_devices, `Active devices, 7 days to ${to}`,
          compare(a7Full.active_devices, a7Before.active_devices, shift(lastFull, -13), "7 complete days vs. the 7 before"),
          partial ? "change over complete days" : "vs. the 7 days before");
        for (const [tile, key] of [["tile-new", "new_devices"], ["tile-events", "app_events"], ["tile-actions", "actions"]])
          setTile(tile, sum(current, key), null, compare(sum(fullDays, key), sum(prevFull, key), fullStart, completeWhy), period);
      }),
      when("charts", [daysOf], ({ days, partial }) => {
        const dates = days.map((d) => d.date);
        drawChart("devices", $("chart-devices"), dates, [
          { label: "Active devices", stroke: "#2f6fde", values: days.map((d) => d.active_devices) },
          { label: "New devices", stroke: "#e8833a", values: days.map((d) => d.new_devices) }], { partial });
        drawChart("reports", $("chart-reports"), dates, [
          { label: "App events", stroke: "#7048e8", values: days.map((d) => d.app_events) },
          { label: "Actions", stroke: "#12a37f", values: days.map((d) => d.actions) },
          { label: "Device reports", stroke: "#98a2b3", values: days.map((d) => d.device_reports) }], { partial });
      }),
      when("top-event", [events], (e) => fillTop($("top-event"), "Event", e.rows, "event", (v) => { state.rate = "event:" + v; navigate(); })),
      actionTable,
      when("contents", [actionTable, contents], (actionBody, picked) =>
        drawContents(from, to, actionBody, picked && picked.action === state.action ? picked.answer : null)),
      ...[["top-channel", "Channel", channels, "channel"], ["top-os", "OS name", oses, "os"], ["top-osversion", "OS version", versions, "osversion"]]
        .map(([table, label, answer, key]) => when(table, [answer], (b) => fillTop($(table), label,
          b.series.map((s) => ({ value: s.value, reports: s.reports, devices: s.devices })), key, (v) => setFilter(key, v)))),
      when("os-note", [activeRange], (aRange) => {
        const coverage = `Every active device counted under the OS its latest device information named (${fmt(aRange.active_devices)} in this range); a device that changed OS in the range counts under each.`;
        $("os-note").textContent = coverage;
        $("osversion-note").textContent = coverage;
      }),
      when("fleet", [daysOf, state.fleet === "os" ? oses : versions], ({ days, current }, breakdown) => drawFleet(fleetOf(breakdown), days, current)),
      ratePicker,
      when("rate", [daysOf, rateSeries, ratePicker], ({ days, partial }, picked) =>
        drawRate(from, to, days, partial, picked && picked.rate === state.rate ? picked.answer : null)),
      when("retention", [retention], (r) => {
        const cohorts = r.cohorts.filter((c) => c.date >= shownFrom && (c.new_devices > 0 || c.date === to)).reverse();
        fillTable($("retention"),
          [["New on"], ["New devices", true], ["Day 1", true], ["Day 7", true], ["Day 30", true]], cohorts,
          (c) => [[c.date], [fmt(c.new_devices), "num"], [percent(c.d1), "num"], [percent(c.d7), "num"], [percent(c.d30), "num"]],
          "No new devices in this range");
      }),
      showDevice(),
    ];

    // The export holds the reports the figures count: the filters go with both links.
    $("export-range").href = appPath("export.csv", withFilters({ from, to }));
    $("export-all").href = appPath("export.csv",
      withFilters({ from: app.first_seen, to: app.last_seen > state.today ? app.last_seen : state.today }));
    const exportFilters = FILTER_KEYS.filter((k) => state.filters[k] !== null)
      .map((k) => `${FILTER_LABELS[k].toLowerCase()} “${shownValue(state.filters[k], k)}”`);
    $("export-note").textContent = exportFilters.length
      ? `Both hold only the reports that pass the filters: ${exportFilters.join(" · ")}.` : "";

    await Promise.all(panels);
    chartLook = null;
    if (serial !== drawSerial) return;
    clearProblem();
    const filterText = FILTER_KEYS.filter((k) => state.filters[k] !== null)
      .map((k) => ` · ${FILTER_LABELS[k].toLowerCase()} “${shownValue(state.filters[k], k)}”`).join("");
    setStatus(`${state.app} · ${from} – ${to}${filterText} · today is ${state.today} on the server`);
    window.tallyscopeDrawnMs = performance.now();
    document.body.dataset.drawn = "1";
    // And once the browser has painted it: a task queued from the next frame runs after its paint.
    window.tallyscopePaintedMs = null;
    requestAnimationFrame(() => setTimeout(() => {
      if (serial === drawSerial) window.tallyscopePaintedMs = performance.now();
    }, 0));
  } catch (error) {
    chartLook = null;
    if (serial !== drawSerial) return;
    setStatus("");
    showProblem(`Could not load the figures (${error.message}). The figures below are from before and may not match the controls.`);
    document.body.dataset.drawn = "error";
  }
}

async function drawContents(from, to, actionBody, asked) {
  [...actionBody.rows].forEach((tr) => {
    const on = tr.dataset.action === state.action && state.action !== null;
    tr.classList.toggle("picked", on);
    tr.setAttribute("aria-pressed", String(on));
  });
  $("content-action").textContent = state.action === null ? "—" : state.action === "" ? "(empty)" : `“${state.action}”`;
  if (state.action === null) {
    fillTable($("top-content"), [["Content"], ["Reports", true], ["Devices", true]], [], null, "No actions in this range");
    return;
  }
  const contents = asked || await api(appPath("top", withFilters({ dimension: "content", action: state.action, from, to, limit: 101 })));
  fillTop($("top-content"), "Content", contents.rows, "content");
}

const PALETTE = ["#2f6fde", "#e8833a", "#12a37f", "#7048e8", "#d6336c", "#98a2b3", "#5c7cfa"];

// The fleet chart's values: the six values with most reports and the rest as "other", taken from
// the dimension's breakdown the OS table already asked (its "other" is a per-day sum, so the sum
// goes on from the seventh value on).
const FLEET_VALUES = 6;
function fleetOf(breakdown) {
  const rest = breakdown.series.slice(FLEET_VALUES);
  const other = breakdown.other.days.map((d, i) => rest.reduce(
    (t, s) => ({ date: d.date, reports: t.reports + s.days[i].reports, devices: t.devices + s.days[i].devices }), d));
  return { series: breakdown.series.slice(0, FLEET_VALUES), other: { days: other } };
}

// Week by week (7-day steps ending on the range's last day): a value's device-days as a share of
// all active device-days.
function drawFleet(breakdown, days, current) {
  const byDate = {};
  current.forEach((d, i) => { byDate[d.date] = i; });
  const weeks = [];
  for (let end = days.length - 1; end >= 0; end -= 7) weeks.unshift([Math.max(0, end - 6), end]);
  const activeOf = (s, e) => days.slice(s, e + 1).reduce((t, d) => t + d.active_devices, 0);
  const series = breakdown.series.map((s) => ({ label: shownValue(s.value, state.fleet), days: s.days }));
  if (breakdown.other.days.some((d) => d.devices > 0)) series.push({ label: "Other", days: breakdown.other.days });
  const offset = days.length ? byDate[days[0].date] : 0;
  const out = series.map((s, i) => ({
    label: s.label, stroke: PALETTE[i % PALETTE.length],
    values: weeks.map(([a, b]) => {
      const total = activeOf(a, b);
      const part = s.days.slice(offset + a, offset + b + 1).reduce((t, d) => t + d.devices, 0);
      return total ? Math.round((part / total) * 1000) / 10 : 0;
    }),
  }));
  const dates = weeks.map(([, b]) => days[b].date);
  const pct = (v) => v.toFixed(v < 10 ? 1 : 0) + " %";
  drawChart("fleet", $("chart-fleet"), dates, out, { format: pct, yMax: 100,
    describe: dates.length ? `Share of active devices per week ending ${dates.join(", ")}: ` +
      out.map((s) => `${s.label} ${pct(s.values[s.values.length - 1])} in the last week`).join("; ") : "No weeks to show" });
}

function fillRatePicker(options) {
  const select = $("rate-pick");
  select.replaceChildren();
  if (!options.includes(state.rate) && state.rate) options = [state.rate].concat(options);
  for (const value of options) {
    const [kind, ...rest] = value.split(":");
    const name = rest.join(":");
    const option = el("option", `${kind === "event" ? "Event" : "Action"}: ${name === "" ? "(empty)" : name}`);
    option.value = value;
    select.append(option);
  }
  select.value = state.rate || "";
  const name = state.rate ? state.rate.slice(state.rate.indexOf(":") + 1) : "";
  $("rate-name").textContent = state.rate ? `“${name}”` : "—";
}

async function drawRate(from, to, days, partial, asked) {
  if (!state.rate) {
    drawChart("rate", $("chart-rate"), [], [], {});
    return;
  }
  const kind = state.rate.slice(0, state.rate.indexOf(":"));
  const name = state.rate.slice(kind.length + 1);
  const answer = asked || await api(appPath("breakdown", withFilters({ dimension: kind, from, to, limit: 1000 })));
  const found = answer.series.find((s) => s.value === name);
  const byDate = {};
  if (found) found.days.forEach((d) => { byDate[d.date] = d.devices; });
  const values = days.map((d) => (d.active_devices ? Math.round(((byDate[d.date] || 0) / d.active_devices) * 1000) / 10 : 0));
  drawChart("rate", $("chart-rate"), days.map((d) => d.date),
    [{ label: "Per 100 active devices", stroke: "#d6336c", values }], { partial, format: (v) => v.toFixed(1) });
}

// --- device look-up and erasure ---
async function searchDevices(event) {
  if (event) event.preventDefault();
  const q = $("device-q").value.trim();
  $("device-status").textContent = "";
  $("device-matches").hidden = true;
  if (!q) return;
  try {
    const found = (await api(appPath("devices", { q, limit: 20 }))).devices;
    if (found.length === 1) { openDevice(found[0].deviceid); return; }
    if (!found.length) { $("device-status").textContent = `No device of ${state.app} matches “${q}”.`; return; }
    const body = fillTable($("device-matches"), [["Computer"], ["User"], ["OS"], ["Last report (UTC)"], ["Identifier"]], found,
      (d) => [[d.pcname || "—", "value"], [d.pcusername || "—", "value"], [d.pcosname || "—", "value"], [d.last_seen], [d.deviceid, "value mono"]]);
    [...body.rows].forEach((tr, i) => pickable(tr, `Device ${found[i].pcname || found[i].deviceid}`, () => openDevice(found[i].deviceid)));
    $("device-matches").hidden = false;
    $("device-status").textContent = found.length >= 20 ? "The 20 most recently seen matches; type more to narrow." : "";
  } catch (error) {
    $("device-status").textContent = error.message;
  }
}
function openDevice(id) {
  state.device = id;
  $("device-matches").hidden = true;
  history.pushState(null, "", hashOf());
  showDevice();
}
async function showDevice() {
  $("device").hidden = true;
  if (!state.device) return;
  try {
    const device = await api(appPath("devices/" + encodeURIComponent(state.device)));
    const inv = device.inventory || {};
    $("device-title").textContent = inv.pcname ? `${inv.pcname}${inv.pcusername ? " · " + inv.pcusername : ""}` : device.deviceid;
    fillTable($("device-summary"), [["Device"], [""]], [
      ["Identifier", device.deviceid], ["Days active", fmt(device.days_active)],
      ["First report (UTC)", device.first_seen], ["Last report (UTC)", device.last_seen],
      ["App events", fmt(device.app_events)], ["Actions", fmt(device.actions)], ["Device reports", fmt(device.device_reports)],
    ], (r) => [[r[0]], [r[1], "value"]]);
    fillTable($("device-inventory"), [["Item"], ["Latest value"]], Object.entries(inv),
      (r) => [[INVENTORY_LABELS[r[0]] || r[0]], [r[1] === "" ? "(empty)" : r[1], "value"]], "No device-information report yet");
    $("device").hidden = false;
  } catch (error) {
    $("device-status").textContent = error.message.includes("404") ? `No device “${state.device}” for this application.` : error.message;
  }
}

async function eraseDevice() {
  const id = state.device;
  if (!id || !confirm(`Erase every report of device ${id} for ${state.app}? This cannot be undone.`)) return;
  try {
    await api(appPath("devices/" + encodeURIComponent(id)), { method: "DELETE" });
    state.device = null;
    history.replaceState(null, "", hashOf());
    $("device").hidden = true;
    draw();
    $("device-status").textContent = `Device ${id} erased.`;
  } catch (error) {
    $("device-status").textContent = error.message;
  }
}

// --- start ---
async function loadApps() {
  const answer = await api("/api/v1/apps");
  const apps = answer.apps;
  if (answer.today) rememberToday(answer.today);
  const select = $("app");
  select.replaceChildren();
  // The busiest first: the one a team most likely came to see.
  apps.sort((x, y) => y.reports - x.reports || (x.appkey < y.appkey ? -1 : 1));
  for (const app of apps) {
    appsByKey[app.appkey] = app;
    const option = el("option", `${app.appkey} (${fmt(app.devices)} devices)`);
    option.value = app.appkey;
    select.append(option);
  }
  return apps;
}

async function start() {
  if (!location.hash) {
    let saved = null;
    try { saved = sessionStorage.getItem("tallyscope-return"); sessionStorage.removeItem("tallyscope-return"); } catch (ignored) { /* storage off */ }
    if (saved) history.replaceState(null, "", saved);
  }
  loadHash();
  state.today = recalledToday();
  if (fixedApp) $("app").closest("label").hidden = true;
  $("app").addEventListener("change", () => {
    state.app = $("app").value;
    for (const key of FILTER_KEYS) state.filters[key] = null;
    state.action = null; state.rate = null; state.device = null; state.more = {};
    navigate();
  });
  document.querySelectorAll(".range button[data-days]").forEach((button) => button.addEventListener("click", () => {
    if (button.dataset.days === "custom") {
      const { from, to } = currentRange();
      state.days = "custom";
      state.from = isDate($("from").value) ? $("from").value : from;
      state.to = isDate($("to").value) ? $("to").value : to;
    } else {
      state.days = Number(button.dataset.days);
    }
    navigate();
  }));
  $("custom-range").addEventListener("submit", (e) => {
    e.preventDefault();
    state.from = $("from").value.trim();
    state.to = $("to").value.trim();
    navigate();
  });
  $("clear-filters").addEventListener("click", () => { for (const key of FILTER_KEYS) state.filters[key] = null; navigate(); });
  document.querySelectorAll("[data-fleet]").forEach((b) => b.addEventListener("click", () => { state.fleet = b.dataset.fleet; navigate(); }));
  $("rate-pick").addEventListener("change", () => { state.rate = $("rate-pick").value; navigate(); });
  $("retry").addEventListener("click", () => {
    delete document.body.dataset.drawn;
    $("problem-text").textContent = "Trying again…";
    boot();
  });
  $("device-form").addEventListener("submit", searchDevices);
  $("device-erase").addEventListener("click", eraseDevice);
  // Back, forward and an edited hash: draw what the URL now says.
  window.addEventListener("popstate", () => { loadHash(); draw(); });
  window.addEventListener("hashchange", () => { if (location.hash !== hashOf()) { loadHash(); draw(); } });
  await boot();
}

// Loads the applications (again, after a failure) and draws. With the application named in the
// URL and today known, the figures are asked at once, beside the applications' answer.
async function boot() {
  appsReady = loadApps();
  const early = state.app && state.today ? draw(true) : null;
  let apps;
  try {
    apps = await appsReady;
  } catch (error) {
    ++drawSerial;
    showProblem(`Could not load the applications (${error.message}).`);
    document.body.dataset.drawn = "error";
    return;
  }
  if (!appsByKey[state.app]) {
    state.app = fixedApp && appsByKey[fixedApp] ? fixedApp : apps.length ? apps[0].appkey : "";
    history.replaceState(null, "", state.app ? hashOf() : location.pathname);
    await draw(true);
    return;
  }
  if (!fixedApp) $("app").value = state.app;
  history.replaceState(null, "", hashOf());
  await (early || draw(true));
}

start();
