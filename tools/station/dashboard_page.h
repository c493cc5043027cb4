// The dashboard's page: HTML, CSS and JavaScript in one document, served by
// the program itself (no other host is ever contacted).
#pragma once

namespace flashwire::station {

inline constexpr const char* kDashboardPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>flashwire station</title>
<style>
  :root { --pass:#1f883d; --fail:#cf222e; --run:#0969da; --wait:#6e7781; --warn:#9a6700; }
  body { font-family: system-ui, sans-serif; margin: 0; background: #f6f8fa; color: #1f2328; }
  header { background: #24292f; color: #fff; padding: 10px 18px; display: flex; gap: 24px; align-items: baseline; }
  header h1 { font-size: 18px; margin: 0; }
  header .summary { font-size: 14px; opacity: .85; }
  header .conn { margin-left: auto; font-size: 12px; }
  main { padding: 14px 18px; }
  #tiles { display: grid; grid-template-columns: repeat(auto-fill, minmax(230px, 1fr)); gap: 12px; }
  .tile { background: #fff; border: 1px solid #d0d7de; border-left: 6px solid var(--wait); border-radius: 6px; padding: 10px 12px; font-size: 13px; }
  .tile[data-state="running"] { border-left-color: var(--run); }
  .tile[data-state="pass"], .tile[data-state="done"] { border-left-color: var(--pass); }
  .tile[data-state="fail"], .tile[data-state="aborted"], .tile[data-state="error"] { border-left-color: var(--fail); }
  .tile[data-state="port missing"] { border-left-color: var(--warn); }
  .tile[data-state="done"][data-outcome="fail"], .tile[data-state="stopped"][data-outcome="fail"] { border-left-color: var(--fail); }
  .tile h2 { font-size: 15px; margin: 0 0 6px; display: flex; justify-content: space-between; }
  .tile .state { font-weight: 600; text-transform: uppercase; font-size: 12px; }
  .tile[data-state="pass"] .state { color: var(--pass); }
  .tile[data-state="fail"] .state, .tile[data-state="aborted"] .state { color: var(--fail); }
  .tile[data-state="running"] .state { color: var(--run); }
  .bar { height: 8px; background: #eaeef2; border-radius: 4px; margin: 6px 0; overflow: hidden; }
  .bar > div { height: 100%; background: var(--run); width: 0; transition: width .2s; }
  .row { display: flex; justify-content: space-between; gap: 8px; }
  .muted { color: #656d76; }
  .tile form { display: flex; gap: 4px; margin-top: 6px; }
  .tile input { flex: 1; min-width: 0; font-size: 12px; }
  table { border-collapse: collapse; width: 100%; margin-top: 8px; font-size: 12px; background: #fff; }
  th, td { border: 1px solid #d0d7de; padding: 3px 6px; text-align: left; white-space: nowrap; }
  td.fail { color: var(--fail); font-weight: 600; }
  td.pass { color: var(--pass); font-weight: 600; }
  h3 { margin: 18px 0 4px; font-size: 15px; }
</style>
</head>
<body>
<header><h1 id="station">flashwire station</h1><span class="summary" id="summary"></span><span class="conn" id="conn">connecting</span></header>
<main>
<div id="tiles"></div>
<h3>Latest results <a id="csv" href="/api/results.csv">CSV</a></h3>
<table id="results"><thead><tr><th>id</th><th>ended</th><th>slot</th><th>phone</th><th>job</th><th>result</th><th>bytes</th><th>B/s</th><th>seconds</th><th>chips</th><th>last error</th></tr></thead><tbody></tbody></table>
</main>
<script>
"use strict";
const token = new URLSearchParams(location.search).get("token");
const q = token ? "?token=" + encodeURIComponent(token) : "";
const tiles = new Map();
document.getElementById("csv").href = "/api/results.csv" + q;

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
function rate(bps) {
  if (!bps) return "";
  return bps >= 1024 ? (bps / 1024).toFixed(1) + " KiB/s" : Math.round(bps) + " B/s";
}
function left(s) {
  if (s === null || s === undefined || s < 0) return "";
  s = Math.round(s);
  return Math.floor(s / 60) + ":" + String(s % 60).padStart(2, "0") + " left";
}
function tileFor(name) {
  let t = tiles.get(name);
  if (t) return t;
  const root = el("div", "tile");
  root.id = "slot-" + name;
  const h = el("h2");
  h.append(el("span", "name", "Slot " + name), el("span", "state", ""));
  const phase = el("div", "phase muted", "");
  const bar = el("div", "bar"); const fill = el("div"); bar.append(fill);
  const r1 = el("div", "row"); const pct = el("span", "percent", ""); const tp = el("span", "throughput", ""); const eta = el("span", "eta", "");
  r1.append(pct, tp, eta);
  const phone = el("div", "phone", "");
  const detail = el("div", "detail muted", "");
  const last = el("div", "last", "");
  const counts = el("div", "counts", "");
  const form = el("form"); const input = el("input"); input.placeholder = "serial / barcode"; input.name = "serial";
  const button = el("button", "", "Set"); button.type = "submit";
  form.append(input, button);
  form.addEventListener("submit", ev => {
    ev.preventDefault();
    const body = new URLSearchParams({serial: input.value});
    fetch("/api/slots/" + encodeURIComponent(name) + "/serial" + q, {method: "POST", body})
      .then(r => { if (r.ok) input.value = ""; });
  });
  root.append(h, phase, bar, r1, phone, detail, last, counts, form);
  document.getElementById("tiles").append(root);
  t = {root, state: h.querySelector(".state"), phase, fill, pct, tp, eta, phone, detail, last, counts, begun: 0, total: 0};
  tiles.set(name, t);
  return t;
}
function showSlot(s) {
  const t = tileFor(s.slot);
  t.root.dataset.state = s.state;
  t.root.dataset.outcome = s.last_result === "pass" ? "pass" : (s.last_result ? "fail" : "");
  t.state.textContent = s.state;
  t.phase.textContent = s.phase ? (s.job ? s.job + ": " : "") + s.phase : "";
  t.fill.style.width = (s.phase ? s.percent : 0) + "%";
  t.pct.textContent = s.phase ? s.percent + "%" : "";
  t.tp.textContent = s.phase ? rate(s.throughput) : "";
  t.eta.textContent = s.phase ? left(s.eta) : "";
  t.phone.textContent = s.phone ? "Phone: " + s.phone : (s.last_phone ? "Last phone: " + s.last_phone : "");
  t.detail.textContent = s.detail || "";
  t.last.textContent = s.last_result ? "Last result: " + s.last_result : "";
  t.counts.textContent = "Pass " + s.passes + " / Fail " + s.fails;
  t.root.dataset.passes = s.passes;
  t.root.dataset.fails = s.fails;
  summary();
}
function summary() {
  let p = 0, f = 0;
  for (const t of tiles.values()) { p += Number(t.root.dataset.passes || 0); f += Number(t.root.dataset.fails || 0); }
  document.getElementById("summary").textContent = tiles.size + " slots, " + p + " passed, " + f + " failed";
}
function onEvent(e) {
  if (e.type === "slot") { showSlot(e); return; }
  const t = e.slot !== undefined ? tileFor(e.slot) : null;
  if (e.type === "progress_begin" && t) {
    t.begun = e.time; t.total = e.total;
    t.phase.textContent = e.job + ": " + e.text;
    t.fill.style.width = "0%"; t.pct.textContent = "0%"; t.tp.textContent = ""; t.eta.textContent = "";
    if (e.phone) t.phone.textContent = "Phone: " + e.phone;
  } else if (e.type === "progress_update" && t) {
    t.fill.style.width = e.percent + "%";
    t.pct.textContent = e.percent + "%";
    const dt = e.time - t.begun;
    if (dt > 0.05) {
      const bps = e.done / dt;
      t.tp.textContent = rate(bps);
      t.eta.textContent = bps > 0 ? left((e.total - e.done) / bps) : "";
    }
  } else if (e.type === "row") {
    loadResults();
  } else if (e.type === "station_end") {
    document.getElementById("conn").textContent = "station stopped";
  }
}
// One request at a time; a row that arrives meanwhile asks for one more
// after it, so the table always ends with the latest rows.
let pending = false;
let again = false;
function resultsLoaded() {
  pending = false;
  if (again) { again = false; loadResults(); }
}
function loadResults() {
  if (pending) { again = true; return; }
  pending = true;
  setTimeout(() => {
    fetch("/api/results" + q + (q ? "&" : "?") + "limit=100").then(r => r.json()).then(rows => {
      const body = document.querySelector("#results tbody");
      body.replaceChildren();
      for (const r of rows.slice().reverse()) {
        const tr = el("tr");
        tr.dataset.id = r.id;
        const cells = [r.id, r.ended_at, r.slot, r.phone, r.job, r.result_name, r.bytes, r.throughput_bps, r.duration_s, r.chip_ids, r.last_error];
        cells.forEach((c, i) => {
          const td = el("td", i === 5 ? (r.result_code === 0 ? "pass" : "fail") : "", String(c));
          tr.append(td);
        });
        body.append(tr);
      }
      resultsLoaded();
    }).catch(resultsLoaded);
  }, 200);
}
fetch("/api/slots" + q).then(r => r.json()).then(list => list.forEach(showSlot));
fetch("/api/station" + q).then(r => r.json()).then(s => {
  document.getElementById("station").textContent = "flashwire station " + s.name;
  document.title = "flashwire station " + s.name;
});
loadResults();
const es = new EventSource("/events" + q);
es.onopen = () => { document.getElementById("conn").textContent = "live"; };
es.onerror = () => { document.getElementById("conn").textContent = "reconnecting"; };
es.onmessage = ev => { try { onEvent(JSON.parse(ev.data)); } catch (err) {} };
</script>
</body>
</html>
)PAGE";

}  // namespace flashwire::station
