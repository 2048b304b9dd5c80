// The gateway's page: one event stream (api/events) brings, four times a second at most, the
// buses' counters and whatever points, devices and frames changed.
"use strict";
const KEEP_FRAMES = 2000;   // in the page; the gateway keeps more for the CSV
const SHOWN_FRAMES = 200;
const PLOT_SECONDS = 300;
const $ = (s) => document.querySelector(s);
const frames = [];
const charts = new Map();
let lastBuses = new Map();
let filter = null;
let framesDirty = true;

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  for (const c of children) e.append(c);
  return e;
}
const clock = (ms) => new Date(ms).toLocaleTimeString([], { hour12: false }) + "." +
  String(Math.floor(ms % 1000)).padStart(3, "0");
const ms = (v) => (v === null || v === undefined ? "–" : v.toFixed(v < 10 ? 3 : 1) + " ms");
const ago = (ts, now) => (ts ? ((now - ts) / 1000).toFixed(1) + " s ago" : "never");

function showBuses(buses, t) {
  // Rates over a second at least: the table changes once a second, whatever the updates.
  if (buses.every((b) => lastBuses.has(b.name) && t - lastBuses.get(b.name).t < 1000)) return;
  const body = $("#buses tbody");
  body.replaceChildren();
  const sel = document.querySelector("#send select[name=bus]");
  for (const b of buses) {
    const before = lastBuses.get(b.name);
    let rate = "–", busy = "–";
    if (before) {
      const s = (t - before.t) / 1000;
      rate = ((b.transactions - before.transactions) / s).toFixed(1);
      busy = (Math.min(1, (b.busy_s - before.busy_s) / s) * 100).toFixed(1) + " %";
    }
    lastBuses.set(b.name, { ...b, t });
    const counts = Object.entries(b.outcomes).filter(([, n]) => n > 0)
      .map(([k, n]) => `${k.replace("_", " ")} ${n}`).join(", ") || "none yet";
    body.append(el("tr", {}, el("td", {}, b.name),
      el("td", {}, el("span", { class: "badge " + (b.open ? "ok" : "bad") },
        b.open ? "open" : "reconnecting")),
      el("td", { class: "n" }, rate), el("td", { class: "n" }, busy),
      el("td", { class: "n" }, String(b.queue_depth)), el("td", {}, counts)));
    if (sel && ![...sel.options].some((o) => o.value === b.name)) sel.append(el("option", {}, b.name));
  }
}

const devices = new Map();
let devicesShown = 0;
function showDevices(changed, now) {
  for (const d of changed) devices.set(d.bus + "/" + d.address, d);
  if (now - devicesShown < 1000) return;
  devicesShown = now;
  const body = $("#devices tbody");
  body.replaceChildren();
  for (const d of devices.values()) {
    const rate = d.transactions ? (100 * d.errors / d.transactions) : 0;
    body.append(el("tr", {}, el("td", {}, d.bus), el("td", { class: "n" }, String(d.address)),
      el("td", {}, ago(d.last_reply, now)), el("td", { class: "n" }, String(d.transactions)),
      el("td", { class: "n " + (rate > 0 ? "bad" : "ok") }, rate.toFixed(1) + " %"),
      el("td", { class: "n" }, ms(d.median_ms)), el("td", { class: "n" }, ms(d.p99_ms))));
  }
}

function pointCard(p) {
  const id = "point-" + p.bus + "-" + p.name;
  let card = document.getElementById(id);
  if (card) return card;
  card = el("div", { class: "point", id },
    el("div", { class: "name" }, `${p.name} · ${p.bus}`),
    el("div", {}, el("span", { class: "value" }, "–"), el("span", { class: "unit" }, p.unit)),
    el("div", { class: "plot" }, el("canvas", {})));
  $("#points").append(card);
  if (window.Chart) {
    charts.set(id, new Chart(card.querySelector("canvas"), {
      type: "line",
      data: { datasets: [{ data: [], borderColor: "#2459a8", borderWidth: 1.5, pointRadius: 0,
                           tension: 0 }] },
      options: { animation: false, responsive: true, maintainAspectRatio: false,
        plugins: { legend: { display: false } },
        scales: { x: { type: "linear", min: -30, max: 0,
                       ticks: { callback: (v) => v + " s" } } } },
    }));
  }
  return card;
}

let plotted = 0;
function showPoints(changed, now) {
  for (const p of changed) {
    const card = pointCard(p);
    const value = card.querySelector(".value");
    value.textContent = p.value === null ? "–" : String(p.value);
    value.className = "value " + (p.outcome === 0 || p.outcome === null ? "" : "bad");
    value.title = p.outcome === 0 ? "" : "last outcome " + p.outcome;
    const chart = charts.get(card.id);
    if (chart && p.value !== null && p.ts) chart.data.datasets[0].data.push({ ts: p.ts, y: p.value });
  }
  // The plots move once a second, or at once for a new value.
  if (!changed.length && now - plotted < 1000) return;
  plotted = now;
  for (const chart of charts.values()) {
    const data = chart.data.datasets[0].data;
    while (data.length && now - data[0].ts > PLOT_SECONDS * 1000) data.shift();
    for (const d of data) d.x = (d.ts - now) / 1000;
    // The plot spans what there is (half a minute at least), up to PLOT_SECONDS.
    const oldest = data.length ? (now - data[0].ts) / 1000 : 0;
    chart.options.scales.x.min = -Math.min(PLOT_SECONDS, Math.max(30, Math.ceil(oldest / 10) * 10));
    chart.update("none");
  }
}

function frameRow(f) {
  const reply = f.reply !== null ? f.reply : f.outcome_text;
  return el("tr", { class: f.outcome === 0 ? "" : "bad" }, el("td", {}, clock(f.ts)),
    el("td", {}, f.bus), el("td", {}, f.client), el("td", {}, f.command), el("td", {}, reply),
    el("td", { class: "n" }, ms(f.round_trip_ms)), el("td", { class: "n" }, ms(f.gap_ms)));
}

// New rows go on top and old ones drop off the bottom: a bus running flat out costs the page
// a few rows per update, not a new table.
function showFrames(fresh) {
  const body = $("#frames tbody");
  const matches = (f) => filter === null || f.dest === filter;
  if (framesDirty) {
    framesDirty = false;
    const rows = [];
    for (let i = frames.length - 1; i >= 0 && rows.length < SHOWN_FRAMES; --i) {
      if (matches(frames[i])) rows.push(frameRow(frames[i]));
    }
    body.replaceChildren(...rows);
  } else if (fresh.length) {
    const rows = [];
    for (let i = fresh.length - 1; i >= 0 && rows.length < SHOWN_FRAMES; --i) {
      if (matches(fresh[i])) rows.push(frameRow(fresh[i]));
    }
    body.prepend(...rows);
    while (body.rows.length > SHOWN_FRAMES) body.lastElementChild.remove();
  }
  $("#frame-count").textContent = `${body.rows.length} shown, newest first`;
}

$("#filter").addEventListener("input", (e) => {
  const v = e.target.value.trim();
  filter = v === "" ? null : Number(v);
  $("#csv").href = "api/frames.csv" + (filter === null ? "" : "?address=" + filter);
  framesDirty = true;
  showFrames([]);
});

function connect() {
  const source = new EventSource("api/events");
  source.onopen = () => { $("#link").textContent = "live"; $("#link").className = "badge ok"; };
  source.onerror = () => { $("#link").textContent = "reconnecting"; $("#link").className = "badge bad"; };
  source.onmessage = (event) => {
    const u = JSON.parse(event.data);
    showBuses(u.buses, u.t);
    showDevices(u.devices, u.t);
    showPoints(u.points, u.t);
    frames.push(...u.frames);
    if (frames.length > KEEP_FRAMES) frames.splice(0, frames.length - KEEP_FRAMES);
    showFrames(u.frames);
  };
}

function replyText(a) {
  if (a.error) return "refused: " + a.error;
  const lines = [`${a.outcome_text} (outcome ${a.outcome}, round trip ${a.round_trip_ms.toFixed(3)} ms)`];
  if (a.reply) {
    const r = a.reply, d = r.data;
    lines.push(`dest    ${r.dest}`, `source  ${r.source}`, `code    ${r.code}`, `param   ${r.param}`,
      `status  ${r.status}`, `error   ${r.error}`,
      `data    ${d.bytes}  (unsigned ${d.uint}, decimal ${d.decimal})`);
  }
  return lines.join("\n");
}

const form = $("#send");
if (form) {
  form.addEventListener("submit", async (e) => {
    e.preventDefault();
    const f = new FormData(form);
    const body = { bus: f.get("bus"), dest: Number(f.get("dest")), code: Number(f.get("code")),
                   param: Number(f.get("param") || 0) };
    const word = String(f.get("word") || "").trim();
    if (word !== "") {
      if (f.get("kind") === "value") { body.value = Number(word); body.decimals = Number(f.get("decimals")); }
      else if (f.get("kind") === "uint") body.uint = Number(word);
      else body.data = word;
    }
    const headers = { "Content-Type": "application/json" };
    if (f.get("token")) headers.Authorization = "Bearer " + f.get("token");
    $("#send-result").textContent = "sending…";
    try {
      const res = await fetch("api/transact", { method: "POST", headers, body: JSON.stringify(body) });
      $("#send-result").textContent = replyText(await res.json());
    } catch (err) {
      $("#send-result").textContent = "failed: " + err;
    }
  });
}
connect();
