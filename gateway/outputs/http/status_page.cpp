// The status page korv-host serves at "/": a panel per unit with its link,
// the age of its last round, its children's fields (greyed with their age
// when stale, a repeated field as a table a column per number) and its active
// alarms with when they were raised,
// fetched from /api/v1/state every two seconds. A measured value, clicked,
// shows its trend over the last hours, from /api/v1/history, drawn by
// Chart.js (/chart.js); "#trend=UNIT/DEVICE/TYPE/FIELD" opens one at load.
// Every text from the state goes into the page as text (textContent), never
// as markup.

#include "gateway/outputs/http/http_server.h"

namespace korv_host {

const std::string& StatusPage() {
  static const std::string page = R"html(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>korv-host: site status</title>
<style>
body { margin: 0; padding: 16px; font: 14px/1.4 system-ui, sans-serif; color: #1d2430; background: #f2f4f7; }
header { display: flex; gap: 12px; align-items: baseline; margin-bottom: 12px; }
h1 { font-size: 18px; margin: 0; }
#status { color: #667; font-size: 12px; }
#status.stale { color: #b00020; }
main { display: grid; grid-template-columns: repeat(auto-fill, minmax(460px, 1fr)); gap: 12px; }
section { background: #fff; border: 1px solid #d5dae1; border-radius: 6px; padding: 12px; }
h2 { font-size: 16px; margin: 0; display: flex; justify-content: space-between; }
h3 { font-size: 13px; margin: 10px 0 2px; color: #445; }
.link { font-size: 12px; font-weight: normal; padding: 1px 8px; border-radius: 9px; background: #e0e3e8; }
.answering { background: #d3f0d3; color: #155d15; }
.not-answering { background: #f8cfcf; color: #8a1111; }
.no-round { background: #ffe2c2; color: #8a4b00; }
.meta { color: #667; font-size: 12px; }
table { border-collapse: collapse; width: 100%; font-variant-numeric: tabular-nums; }
td { padding: 1px 4px; border-bottom: 1px solid #eef0f3; }
td.v { text-align: right; white-space: nowrap; }
th { font-weight: normal; color: #667; font-size: 12px; text-align: right; padding: 1px 4px; }
.fields { overflow-x: auto; }
table.grid { margin-top: 6px; }
.stale, .stale td { color: #9aa0a8; }
h3.stale { color: #9aa0a8; }
td.absent { color: #9aa0a8; }
.alarm { border-left: 4px solid; border-radius: 3px; padding: 3px 8px; margin: 4px 0; }
.alarm small { display: block; color: #556; }
.l1 { border-color: #b00020; background: #fde4e8; }
.l2 { border-color: #e65100; background: #ffeedd; }
.l3 { border-color: #c9a400; background: #fff8d2; }
.l4 { border-color: #1565c0; background: #e4eefb; }
.quiet { color: #2e7d32; }
td.v.trend { cursor: pointer; text-decoration: underline dotted #99a; }
#trend { margin-bottom: 12px; }
#trend .chart { position: relative; height: 300px; }
#trend button { font: inherit; font-size: 12px; }
</style>
</head>
<body>
<header><h1>Site status</h1><span id="status">loading</span></header>
<section id="trend" hidden>
<h2><span id="trend-title"></span><button id="trend-close" type="button">close</button></h2>
<div class="meta" id="trend-note"></div>
<div class="chart"><canvas id="trend-chart"></canvas></div>
</section>
<main id="units"></main>
<script src="/chart.js"></script>
<script>
"use strict";
// An element holding `text` as text: nothing from the state becomes markup.
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = String(text);
  return e;
}
function ago(s) {
  if (s === null) return "no round yet";
  return s < 120 ? s.toFixed(1) + " s ago" : Math.round(s / 60) + " min ago";
}
function panel(u) {
  const p = el("section");
  const h = el("h2");
  h.append(el("span", "", "Unit " + u.unit),
           el("span", "link " + (u.link === "answering" ? "answering" :
                                 u.link === "not answering" ? "not-answering" :
                                 u.link === "no round" ? "no-round" : ""), u.link));
  p.append(h, el("div", "meta", "round " + u.rounds + ", last " + ago(u.age_seconds)));
  p.append(el("h3", "", "Alarms"));
  if (u.alarms.length === 0) p.append(el("div", "quiet", "no active alarm"));
  for (const a of u.alarms) {
    // Level 1 is the most severe; past 4 all look alike.
    const d = el("div", "alarm l" + Math.min(Math.max(Math.trunc(Number(a.level)) || 4, 1), 4));
    d.append(el("b", "", a.name), el("div", "", a.description + (a.text ? " [" + a.text + "]" : "")),
             el("small", "", "raised " + a.raised_at),
             el("small", "", a.type + " " + a.device + " " + a.key + " " + a.code + ", level " + a.level));
    p.append(d);
  }
  for (const c of u.children) {
    const head = c.type + " " + c.device + (c.source === "cache" ? " (cache)" : "");
    p.append(el("h3", c.stale ? "stale" : "",
                c.stale ? head + ", stale: " + ago(c.age_seconds) : head));
    if (c.fields.length === 0) p.append(el("div", "meta", "no values"));
    // Repeated fields ("module2.current") as a table of their own, a column
    // per number; the others as name and value.
    const rows = new Map(), single = [];
    for (const f of c.fields) {
      const m = /^([a-z_]+)([0-9]+)\.(.+)$/.exec(f.name);
      if (!m) { single.push(f); continue; }
      if (!rows.has(m[1])) rows.set(m[1], {columns: [], byRow: new Map()});
      const g = rows.get(m[1]);
      if (!g.columns.includes(m[3])) g.columns.push(m[3]);
      if (!g.byRow.has(m[2])) g.byRow.set(m[2], new Map());
      g.byRow.get(m[2]).set(m[3], f);
    }
    const cell = (f) => {
      const td = el("td", "v" + (f && f.value === null ? " absent" : ""),
                    f ? (f.value === null ? "\u2014" : f.text) : "");
      // A measured value has a history worth a look.
      if (f && f.unit && f.value !== null) {
        td.classList.add("trend");
        td.title = "its trend";
        td.onclick = () => showTrend(u.unit, c.device, c.type, f.name, f.unit);
      }
      return td;
    };
    const wrap = el("div", "fields" + (c.stale ? " stale" : ""));
    if (single.length) {
      const t = el("table");
      for (const f of single) {
        const r = el("tr");
        r.append(el("td", "", f.name), cell(f));
        t.append(r);
      }
      wrap.append(t);
    }
    for (const [name, g] of rows) {
      if (g.columns.length === 1) {
        // One field a number (64 fuses): runs of numbers that read the same.
        const t = el("table");
        let run = null;
        const flush = () => {
          if (!run) return;
          const r = el("tr");
          const span = run.first === run.last ? run.first : run.first + "\u2013" + run.last;
          r.append(el("td", "", name + " " + span + " " + g.columns[0]), cell(run.f));
          t.append(r);
        };
        for (const [n, byCol] of g.byRow) {
          const f = byCol.get(g.columns[0]);
          if (run && run.f.text === f.text && Number(n) === Number(run.last) + 1) {
            run.last = n;
            continue;
          }
          flush();
          run = {first: n, last: n, f: f};
        }
        flush();
        wrap.append(t);
        continue;
      }
      // A column per number (a unit has a few modules, many fields each).
      const t = el("table", "grid");
      const hr = el("tr");
      hr.append(el("th", "", name));
      for (const n of g.byRow.keys()) hr.append(el("th", "", n));
      t.append(hr);
      for (const col of g.columns) {
        const r = el("tr");
        r.append(el("td", "", col));
        for (const byCol of g.byRow.values()) r.append(cell(byCol.get(col)));
        t.append(r);
      }
      wrap.append(t);
    }
    p.append(wrap);
  }
  return p;
}
// The trend of one field of one child over the last `hours`, from the
// history's pages; resolves with a line saying how many points it drew.
let trendChart = null;
async function showTrend(unit, device, type, name, valueUnit, hours = 6) {
  const note = document.getElementById("trend-note");
  document.getElementById("trend").hidden = false;
  document.getElementById("trend-title").textContent =
      type + " " + device + ": " + name + ", the last " + hours + " hours";
  const points = [];
  let next = "/api/v1/history?unit=" + encodeURIComponent(unit) + "&fields=" +
             encodeURIComponent(name) + "&from=" + (Math.floor(Date.now() / 1000) - hours * 3600) +
             "&limit=10000";
  try {
    for (let page = 0; next && page < 10; ++page) {
      const r = await fetch(next, {cache: "no-store"});
      if (!r.ok) throw new Error((await r.text()).trim());
      const h = await r.json();
      for (const row of h.rows) {
        const v = row.fields[name];
        if (row.device === device && row.type === type && typeof v === "number") {
          points.push({x: Date.parse(row.time), y: v});
        }
      }
      next = h.next;
    }
  } catch (e) {
    note.textContent = "no history: " + e.message;
    return note.textContent;
  }
  const said = "trend " + name + ": " + points.length + " points";
  if (typeof Chart === "undefined") {
    note.textContent = said + "; no chart library: install Debian's libjs-chart.js";
    return said;
  }
  note.textContent = points.length ? said + " kept in the history"
                                   : "no history of " + name + " in the last " + hours + " hours";
  if (trendChart) trendChart.destroy();
  trendChart = new Chart(document.getElementById("trend-chart"), {
    type: "line",
    data: {datasets: [{label: name + (valueUnit ? " (" + valueUnit + ")" : ""), data: points,
                       borderColor: "#1565c0", backgroundColor: "#1565c0", borderWidth: 1.5,
                       pointRadius: 2}]},
    options: {animation: false, parsing: false, maintainAspectRatio: false,
              scales: {x: {type: "linear",
                           ticks: {callback: (v) => new Date(v).toLocaleTimeString()}}}}
  });
  return said;
}
document.getElementById("trend-close").onclick = () => {
  document.getElementById("trend").hidden = true;
};
{
  const m = /^#trend=([0-9]+)\/([0-9]+)\/([^/]+)\/(.+)$/.exec(location.hash);
  if (m) showTrend(m[1], Number(m[2]), decodeURIComponent(m[3]), decodeURIComponent(m[4]), "");
}
const statusLine = document.getElementById("status");
async function refresh() {
  try {
    const r = await fetch("/api/v1/state", {cache: "no-store"});
    if (!r.ok) throw new Error("HTTP " + r.status);
    const s = await r.json();
    document.getElementById("units").replaceChildren(...s.units.map(panel));
    statusLine.textContent = "updated " + s.at;
    statusLine.className = "";
  } catch (e) {
    statusLine.textContent = "no answer from korv-host (" + e.message + ")";
    statusLine.className = "stale";
  }
}
refresh();
setInterval(refresh, 2000);
</script>
</body>
</html>
)html";
  return page;
}

}  // namespace korv_host
