// The dashboard: every figure on the page comes from the JSON API as it answered; the page only
// lays the answers out. When every panel is filled, document.body gets data-drawn (and
// window.tallyscopeDrawnMs the time since navigation) so a browser test or benchmark can wait on it.
"use strict";

const $ = (id) => document.getElementById(id);
const DAY_MS = 86400000;

// channel: null shows every channel; "" is the empty channel, a channel of its own.
const state = { app: "", days: 30, from: "", to: "", channel: null, action: null, today: "" };
let drawSerial = 0;
const charts = {};

// --- dates: YYYY-MM-DD strings, counted in whole days (the server's reporting days) ---
function dayNumber(text) {
  const [y, m, d] = text.split("-").map(Number);
  return Math.floor(Date.UTC(y, m - 1, d) / DAY_MS);
}
function dayText(number) {
  return new Date(number * DAY_MS).toISOString().slice(0, 10);
}
function shift(text, days) { return dayText(dayNumber(text) + days); }

// --- the API ---
class ApiError extends Error {}
async function api(path, options) {
  const response = await fetch(path, Object.assign({ credentials: "same-origin", headers: { Accept: "application/json" } }, options));
  if (response.status === 401) {
    location.href = "/";
    throw new ApiError("signed out");
  }
  if (!response.ok) {
    let reason = response.statusText;
    try { reason = (await response.json()).error || reason; } catch (ignored) { /* not JSON */ }
    throw new ApiError(`${response.status} ${reason}`);
  }
  return response.status === 204 ? null : response.json();
}
function appPath(suffix, params) {
  const query = new URLSearchParams();
  for (const [k, v] of Object.entries(params || {})) if (v !== undefined && v !== null) query.set(k, v);
  const q = query.toString();
  return `/api/v1/apps/${encodeURIComponent(state.app)}/${suffix}${q ? "?" + q : ""}`;
}

// --- small DOM helpers (text only: values come from clients and are never parsed as HTML) ---
function el(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text;
  if (className) node.className = className;
  return node;
}
const number = new Intl.NumberFormat("en-US");
function fmt(n) { return n === null || n === undefined ? "–" : number.format(n); }
function percent(x) { return x === null || x === undefined ? "–" : (x * 100).toFixed(1) + " %"; }

function fillTable(table, headers, rows, cells, emptyText) {
  table.replaceChildren();
  const head = el("thead");
  const hr = el("tr");
  headers.forEach(([label, num]) => hr.append(el("th", label, num ? "num" : "")));
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

function fillTop(table, label, rows) {
  return fillTable(table, [[label], ["Reports", true], ["Devices", true]], rows,
    (r) => [[r.value === "" ? "(empty)" : r.value, "value"], [fmt(r.reports), "num"], [fmt(r.devices), "num"]]);
}

function setTile(id, value, previous, periodText) {
  const tile = $(id);
  tile.querySelector(".value").textContent = fmt(value);
  const change = tile.querySelector(".change");
  change.className = "change";
  if (previous === 0 || previous === null || previous === undefined) {
    change.textContent = value > 0 ? "new" : "±0";
  } else {
    const ratio = (value - previous) / previous;
    change.textContent = (ratio > 0 ? "+" : ratio < 0 ? "−" : "±") + Math.abs(ratio * 100).toFixed(1) + " %";
    change.classList.add(ratio > 0 ? "up" : ratio < 0 ? "down" : "flat");
  }
  change.title = `previous period: ${fmt(previous)}`;
  if (periodText !== undefined) tile.querySelector(".period").textContent = periodText;
}

function sum(days, key) { return days.reduce((total, d) => total + d[key], 0); }

function drawChart(key, target, days, series) {
  const xs = days.map((d) => dayNumber(d.date) * 86400);
  const data = [xs, ...series.map(([field]) => days.map((d) => d[field]))];
  const width = Math.max(300, target.clientWidth);
  if (charts[key]) charts[key].destroy();
  charts[key] = new uPlot({
    width, height: 240,
    tzDate: (ts) => uPlot.tzDate(new Date(ts * 1000), "Etc/UTC"),
    scales: { x: { time: true } },
    axes: [{}, { size: 60 }],
    series: [{}, ...series.map(([, label, stroke]) => ({ label, stroke, width: 2, points: { show: days.length <= 45 } }))],
  }, data, target);
}

// --- the range the page shows and the one before it ---
function currentRange() {
  if (state.days === "custom" && state.from && state.to) return { from: state.from, to: state.to };
  const days = state.days === "custom" ? 30 : state.days;
  return { from: shift(state.today, 1 - days), to: state.today };
}

function saveHash() {
  const params = new URLSearchParams({ app: state.app, range: String(state.days) });
  if (state.days === "custom") { params.set("from", state.from); params.set("to", state.to); }
  if (state.channel !== null) params.set("channel", state.channel);
  history.replaceState(null, "", "#" + params.toString());
}
function loadHash() {
  const params = new URLSearchParams(location.hash.slice(1));
  state.app = params.get("app") || "";
  const range = params.get("range");
  state.days = range === "custom" ? "custom" : [7, 30, 90].includes(Number(range)) ? Number(range) : 30;
  state.from = params.get("from") || "";
  state.to = params.get("to") || "";
  state.channel = params.get("channel");
}

function setStatus(text, isError) {
  $("status").textContent = text;
  $("status").className = isError ? "status error" : "status";
}

// --- drawing every panel ---
async function draw() {
  const serial = ++drawSerial;
  delete document.body.dataset.drawn;
  saveHash();
  document.querySelectorAll(".range button[data-days]").forEach((b) =>
    b.classList.toggle("active", String(state.days) === b.dataset.days));
  $("custom-range").hidden = state.days !== "custom";
  if (!state.app) {
    setStatus("No application has sent a report yet.");
    document.body.dataset.drawn = "1";
    return;
  }
  setStatus("Loading…");
  const channel = state.channel;
  try {
    // The server's today (its reporting time zone) is the last day of the default range.
    const latest = await api(appPath("daily", { channel }));
    if (serial !== drawSerial) return;
    state.today = latest.days[latest.days.length - 1].date;
    const { from, to } = currentRange();
    const length = dayNumber(to) - dayNumber(from) + 1;
    const prevFrom = shift(from, -length);
    const t = state.today;

    const [span, active7, active7Before, active30, active30Before, channelsAll, events, actions,
      channels, oses, versions, retention] = await Promise.all([
      api(appPath("daily", { from: prevFrom, to, channel })),
      api(appPath("active", { from: shift(t, -6), to: t, channel })),
      api(appPath("active", { from: shift(t, -13), to: shift(t, -7), channel })),
      api(appPath("active", { from: shift(t, -29), to: t, channel })),
      api(appPath("active", { from: shift(t, -59), to: shift(t, -30), channel })),
      api(appPath("top", { dimension: "channel", from, to, limit: 100 })),
      api(appPath("top", { dimension: "event", from, to, channel })),
      api(appPath("top", { dimension: "action", from, to, channel })),
      channel !== null ? api(appPath("top", { dimension: "channel", from, to, channel })) : null,
      api(appPath("top", { dimension: "os", from, to, channel })),
      api(appPath("top", { dimension: "osversion", from, to, channel })),
      api(appPath("retention", { from, to, channel })),
    ]);
    if (serial !== drawSerial) return;

    const previous = span.days.slice(0, length);
    const current = span.days.slice(length);
    const todayRow = latest.days[latest.days.length - 1];
    const yesterdayRow = latest.days[latest.days.length - 2] || { active_devices: 0 };
    const period = `${length} days, vs. the ${length} days before`;
    setTile("tile-active-today", todayRow.active_devices, yesterdayRow.active_devices);
    setTile("tile-active-7", active7.active_devices, active7Before.active_devices);
    setTile("tile-active-30", active30.active_devices, active30Before.active_devices);
    setTile("tile-new", sum(current, "new_devices"), sum(previous, "new_devices"), period);
    setTile("tile-events", sum(current, "app_events"), sum(previous, "app_events"), period);
    setTile("tile-actions", sum(current, "actions"), sum(previous, "actions"), period);

    drawChart("devices", $("chart-devices"), current,
      [["active_devices", "Active devices", "#2f6fde"], ["new_devices", "New devices", "#e8833a"]]);
    drawChart("reports", $("chart-reports"), current,
      [["app_events", "App events", "#7048e8"], ["actions", "Actions", "#12a37f"], ["device_reports", "Device reports", "#98a2b3"]]);

    fillChannelPicker(channelsAll.rows);
    fillTop($("top-event"), "Event", events.rows);
    fillTop($("top-channel"), "Channel", (channels || channelsAll).rows.slice(0, 10));
    fillTop($("top-os"), "OS name", oses.rows);
    fillTop($("top-osversion"), "OS version", versions.rows);
    const actionBody = fillTop($("top-action"), "Action", actions.rows);
    if (!actions.rows.some((r) => r.value === state.action)) state.action = actions.rows.length ? actions.rows[0].value : null;
    [...actionBody.rows].forEach((tr, i) => {
      if (!actions.rows[i]) return;
      tr.dataset.action = actions.rows[i].value;
      tr.addEventListener("click", () => { state.action = actions.rows[i].value; drawContents(from, to, channel, actionBody); });
    });
    await drawContents(from, to, channel, actionBody);
    if (serial !== drawSerial) return;

    fillTable($("retention"),
      [["New on"], ["New devices", true], ["Day 1", true], ["Day 7", true], ["Day 30", true]],
      retention.cohorts.slice().reverse(),
      (c) => [[c.date], [fmt(c.new_devices), "num"], [percent(c.d1), "num"], [percent(c.d7), "num"], [percent(c.d30), "num"]]);

    const exportParams = new URLSearchParams({ from, to });
    $("export-range").href = appPath("export.csv") + "?" + exportParams;
    const app = appsByKey[state.app];
    $("export-all").href = appPath("export.csv") + "?" + new URLSearchParams({ from: app.first_seen, to: app.last_seen > t ? app.last_seen : t });

    setStatus(`${state.app} · ${from} – ${to}${channel !== null ? " · channel “" + channel + "”" : ""} · today is ${t} on the server`);
    window.tallyscopeDrawnMs = performance.now();
    document.body.dataset.drawn = "1";
  } catch (error) {
    if (serial === drawSerial) setStatus(`Could not load the figures: ${error.message}`, true);
  }
}

async function drawContents(from, to, channel, actionBody) {
  [...actionBody.rows].forEach((tr) => tr.classList.toggle("picked", tr.dataset.action === state.action));
  $("content-action").textContent = state.action === null ? "—" : state.action === "" ? "(empty)" : `“${state.action}”`;
  if (state.action === null) {
    fillTable($("top-content"), [["Content"], ["Reports", true], ["Devices", true]], [], null, "No actions in this range");
    return;
  }
  const contents = await api(appPath("top", { dimension: "content", action: state.action, from, to, channel }));
  fillTop($("top-content"), "Content", contents.rows);
}

function fillChannelPicker(rows) {
  const select = $("channel");
  const values = rows.map((r) => r.value);
  if (state.channel !== null && !values.includes(state.channel)) values.push(state.channel);
  select.replaceChildren(el("option", "All channels"));
  select.firstChild.value = "";
  for (const value of values) {
    const option = el("option", value === "" ? "(empty channel)" : value);
    option.value = value;
    select.append(option);
  }
  select.selectedIndex = state.channel === null ? 0 : values.indexOf(state.channel) + 1;
}

// --- device look-up and erasure ---
async function lookUpDevice(event) {
  if (event) event.preventDefault();
  const id = $("device-id").value.trim();
  $("device").hidden = true;
  $("device-status").textContent = "";
  if (!id) return;
  try {
    const device = await api(appPath("devices/" + encodeURIComponent(id)));
    fillTable($("device-summary"), [["Device"], [""]], [
      ["Identifier", device.deviceid], ["First report (UTC)", device.first_seen], ["Last report (UTC)", device.last_seen],
      ["App events", fmt(device.app_events)], ["Actions", fmt(device.actions)], ["Device reports", fmt(device.device_reports)],
    ], (r) => [[r[0]], [r[1], "value"]]);
    fillTable($("device-inventory"), [["Key"], ["Latest value"]], Object.entries(device.inventory || {}),
      (r) => [[r[0]], [r[1], "value"]], "No device-information report");
    $("device").hidden = false;
  } catch (error) {
    $("device-status").textContent = error.message.startsWith("404") ? "No such device for this application." : error.message;
  }
}

async function eraseDevice() {
  const id = $("device-id").value.trim();
  if (!id || !confirm(`Erase every report of device ${id} for ${state.app}? This cannot be undone.`)) return;
  try {
    await api(appPath("devices/" + encodeURIComponent(id)), { method: "DELETE" });
    $("device").hidden = true;
    $("device-status").textContent = `Device ${id} erased.`;
    draw();
  } catch (error) {
    $("device-status").textContent = error.message;
  }
}

// --- start ---
const appsByKey = {};
async function start() {
  loadHash();
  let apps;
  try {
    apps = (await api("/api/v1/apps")).apps;
  } catch (error) {
    setStatus(`Could not load the applications: ${error.message}`, true);
    return;
  }
  const select = $("app");
  for (const app of apps) {
    appsByKey[app.appkey] = app;
    const option = el("option", `${app.appkey} (${fmt(app.devices)} devices)`);
    option.value = app.appkey;
    select.append(option);
  }
  if (!appsByKey[state.app]) state.app = apps.length ? apps[0].appkey : "";
  select.value = state.app;

  select.addEventListener("change", () => { state.app = select.value; state.channel = null; state.action = null; draw(); });
  $("channel").addEventListener("change", () => {
    const option = $("channel").selectedOptions[0];
    state.channel = $("channel").selectedIndex === 0 ? null : option.value;
    draw();
  });
  document.querySelectorAll(".range button[data-days]").forEach((button) => button.addEventListener("click", () => {
    if (button.dataset.days === "custom") {
      const { from, to } = currentRange();
      state.days = "custom";
      state.from = $("from").value || from;
      state.to = $("to").value || to;
      $("from").value = state.from;
      $("to").value = state.to;
    } else {
      state.days = Number(button.dataset.days);
    }
    draw();
  }));
  $("apply-range").addEventListener("click", () => {
    if (!$("from").value || !$("to").value) return;
    state.from = $("from").value;
    state.to = $("to").value;
    draw();
  });
  $("device-form").addEventListener("submit", lookUpDevice);
  $("device-erase").addEventListener("click", eraseDevice);
  if (state.days === "custom") { $("from").value = state.from; $("to").value = state.to; }
  await draw();
}

start();
