// Who is looking: the server's answer to /api/v1/me sets <html data-role>, and style.css keeps
// every control marked data-admin-only hidden unless it is "admin" (the server refuses those
// requests to anyone else in any case). A share link's viewer is told what they are looking at.
"use strict";

(async () => {
  const root = document.documentElement;
  let me = null;
  try {
    const response = await fetch("/api/v1/me", { credentials: "same-origin", headers: { Accept: "application/json" } });
    if (response.ok) me = await response.json();
  } catch (ignored) { /* the dashboard says when the server cannot be reached */ }
  root.dataset.role = me ? me.role : "none";
  if (!me) return;
  const bar = document.querySelector("header") || document.body;
  const who = document.createElement("span");
  who.className = "who";
  who.textContent = me.share
    ? `Shared view of ${me.share.appkey}${me.share.expires ? ", until " + me.share.expires : ""}`
    : `${me.name} (${me.role})`;
  const signout = bar.querySelector(".signout");
  bar.insertBefore(who, signout);
  if (me.role === "admin") {
    const link = document.createElement("a");
    link.href = "/tokens";
    link.id = "tokens-link";
    link.textContent = "Tokens, share links, audit";
    link.setAttribute("data-admin-only", "");
    bar.insertBefore(link, signout);
  }
  document.dispatchEvent(new CustomEvent("tallyscope-role", { detail: me }));
})();
