// The admin's page: named tokens (create, list, revoke), the share links of every application
// and the audit log. Every value comes from the API and is shown as text, never parsed as HTML.
"use strict";

const $ = (id) => document.getElementById(id);

async function api(path, options) {
  const response = await fetch(path, Object.assign({ credentials: "same-origin", headers: { Accept: "application/json", "Content-Type": "application/json" } }, options));
  if (response.status === 401) {
    location.href = "/";
    throw new Error("signed out");
  }
  if (!response.ok) {
    let reason = response.statusText;
    try { reason = (await response.json()).error || reason; } catch (ignored) { /* not JSON */ }
    throw new Error(`${response.status} ${reason}`);
  }
  return response.status === 204 ? null : response.json();
}

function setStatus(text, isError) {
  $("status").textContent = text;
  $("status").className = isError ? "status error" : "status";
}

function el(tag, text) {
  const node = document.createElement(tag);
  if (text !== undefined && text !== null) node.textContent = text;
  return node;
}

// rows: arrays of cells, each a string or a DOM node.
function fillTable(table, headers, rows, emptyText) {
  table.replaceChildren();
  const head = el("thead");
  const hr = el("tr");
  headers.forEach((h) => hr.append(el("th", h)));
  head.append(hr);
  const body = el("tbody");
  if (rows.length === 0) {
    const td = el("td", emptyText);
    td.colSpan = headers.length;
    td.className = "empty";
    const tr = el("tr");
    tr.append(td);
    body.append(tr);
  }
  for (const row of rows) {
    const tr = el("tr");
    for (const cell of row) {
      const td = el("td");
      if (cell instanceof Node) td.append(cell); else td.textContent = cell === null ? "–" : cell;
      tr.append(td);
    }
    body.append(tr);
  }
  table.append(head, body);
}

function button(text, onClick) {
  const b = el("button", text);
  b.type = "button";
  b.className = "danger";
  b.addEventListener("click", onClick);
  return b;
}

async function guarded(work) {
  try {
    await work();
  } catch (error) {
    setStatus(error.message, true);
  }
}

async function showTokens() {
  const { tokens } = await api("/api/v1/tokens");
  fillTable($("tokens"), ["Name", "Role", "Created (UTC)", "Last used (UTC)", ""], tokens.map((t) => [
    t.name, t.role, t.created, t.last_used,
    t.name === "owner" ? "token file" : button("Revoke", () => guarded(async () => {
      if (!confirm(`Revoke the token ${t.name}? Its sessions end at once.`)) return;
      await api(`/api/v1/tokens/${t.id}`, { method: "DELETE" });
      setStatus(`Token ${t.name} revoked.`);
      await Promise.all([showTokens(), showAudit()]);
    })),
  ]), "No tokens");
}

let apps = [];
async function showShares() {
  const rows = [];
  for (const app of apps) {
    const { shares } = await api(`/api/v1/apps/${encodeURIComponent(app)}/shares`);
    for (const s of shares) {
      const link = el("a", location.origin + s.url);
      link.href = s.url;
      rows.push([app, link, s.expires ? s.expires + (s.expired ? " (expired)" : "") : "never", s.created_by, s.created,
        button("Revoke", () => guarded(async () => {
          await api(`/api/v1/apps/${encodeURIComponent(app)}/shares/${s.id}`, { method: "DELETE" });
          setStatus("Share link revoked.");
          await Promise.all([showShares(), showAudit()]);
        }))]);
    }
  }
  fillTable($("shares"), ["Application", "Link", "Expires", "Created by", "Created (UTC)", ""], rows, "No share links");
}

async function showAudit() {
  const params = new URLSearchParams();
  if ($("audit-from").value) params.set("from", $("audit-from").value);
  if ($("audit-to").value) params.set("to", $("audit-to").value);
  const log = await api("/api/v1/audit" + (params.toString() ? "?" + params : ""));
  fillTable($("audit"), ["Time (UTC)", "Action", "Token", "Application", "On", "Address"],
    log.entries.map((e) => [e.time, e.action, e.token, e.appkey, e.target, e.address]),
    `Nothing recorded from ${log.from} to ${log.to}`);
  if (log.truncated) setStatus("The audit log shows the newest entries only; narrow the range for older ones.");
}

async function start() {
  $("token-form").addEventListener("submit", (event) => {
    event.preventDefault();
    guarded(async () => {
      const created = await api("/api/v1/tokens", { method: "POST", body: JSON.stringify({ name: $("token-name").value, role: $("token-role").value }) });
      $("token-secret").hidden = false;
      $("token-secret").textContent = `Token for ${created.name} (${created.role}), shown this once: ${created.token}`;
      $("token-name").value = "";
      await Promise.all([showTokens(), showAudit()]);
    });
  });
  $("share-form").addEventListener("submit", (event) => {
    event.preventDefault();
    guarded(async () => {
      const body = $("share-expires").value ? { expires: $("share-expires").value } : {};
      await api(`/api/v1/apps/${encodeURIComponent($("share-app").value)}/shares`, { method: "POST", body: JSON.stringify(body) });
      setStatus("Share link created.");
      await Promise.all([showShares(), showAudit()]);
    });
  });
  $("audit-form").addEventListener("submit", (event) => { event.preventDefault(); guarded(showAudit); });
  await guarded(async () => {
    apps = (await api("/api/v1/apps")).apps.map((a) => a.appkey);
    $("share-app").replaceChildren(...apps.map((a) => { const o = el("option", a); o.value = a; return o; }));
    await Promise.all([showTokens(), showShares(), showAudit()]);
    document.body.dataset.drawn = "1";
  });
}

start();
