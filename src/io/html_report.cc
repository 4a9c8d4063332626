// The HTML report: one self-contained page (no network, no external
// scripts or fonts) with the summary, a sortable and filterable layer
// table and the arena plan drawn on a canvas, which stays smooth with tens
// of thousands of layers.
#include <string>

#include "sarnic/analysis.h"

namespace sarnic {

namespace {

constexpr const char* kHead = R"page(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<title>SNX model report</title>
<style>
body { font: 14px system-ui, sans-serif; margin: 16px; color: #222; }
h1 { font-size: 20px; } h2 { font-size: 16px; margin-top: 24px; }
#summary td { padding: 2px 12px 2px 0; }
#plan-box { position: relative; border: 1px solid #ccc; overflow: auto; max-height: 520px; }
#plan { display: block; }
#tip { position: fixed; display: none; background: #fff; border: 1px solid #888;
       padding: 4px 8px; pointer-events: none; white-space: pre; font-size: 12px; }
#layers { border-collapse: collapse; font-size: 12px; }
#layers th { cursor: pointer; background: #eee; position: sticky; top: 0; }
#layers td, #layers th { border: 1px solid #ddd; padding: 2px 6px; }
#layers tr.selected { background: #ffe08a; }
#legend span { display: inline-block; margin-right: 14px; }
#legend i { display: inline-block; width: 12px; height: 12px; margin-right: 4px; vertical-align: middle; }
#layers tr.input { background: #cde8ff; }
#table-box { max-height: 480px; overflow: auto; }
</style></head><body>
<h1 id="title"></h1>
<table id="summary"></table>
<h2>Arena plan</h2>
<p>Steps across, blocks down; one rectangle per planned layer, coloured by
layer type. The red line marks the peak step. Hover for details; click to
select a layer and outline its inputs.</p>
<div id="plan-box"><canvas id="plan"></canvas></div>
<p id="legend"></p>
<div id="tip"></div>
<h2>Layers</h2>
<p><input id="filter" placeholder="filter by name or type" size="40"> <span id="shown"></span></p>
<div id="table-box"><table id="layers"><thead><tr>
<th data-key="index">#</th><th data-key="name">name</th><th data-key="type">type</th>
<th data-key="shape">shape</th><th data-key="bytes">bytes</th><th data-key="blocks">blocks</th>
<th data-key="block">block</th><th data-key="first">live</th></tr></thead><tbody></tbody></table></div>
<script type="application/json" id="data">)page";

constexpr const char* kTail = R"page(</script>
<script>
"use strict";
const data = JSON.parse(document.getElementById("data").textContent);
const layers = data.layers;
for (const l of layers) { l.first = l.live[0]; l.last = l.live[1]; }
const planned = layers.filter(l => l.block !== null && l.blocks > 0);
const blockSize = data.arena.block_size;
const steps = Math.max(1, layers.length);
const lowest = Math.max(1, data.arena.blocks);
const canvas = document.getElementById("plan");
const tip = document.getElementById("tip");
const W = 1200, H = 480;
canvas.width = W; canvas.height = H;
const sx = W / steps, sy = H / lowest;
const hue = {};
function colourOf(type) {
  if (!(type in hue)) {
    let h = 0;
    for (const c of type) h = (h * 31 + c.charCodeAt(0)) % 360;
    hue[type] = h;
  }
  return "hsl(" + hue[type] + ",65%,55%)";
}
function rectOf(l) {
  return { x: l.first * sx, y: l.block * sy, w: Math.max(1, (l.last - l.first + 1) * sx),
           h: Math.max(1, l.blocks * sy) };
}
let selected = null;
function draw() {
  const g = canvas.getContext("2d");
  g.fillStyle = "#111"; g.fillRect(0, 0, W, H);
  for (const l of planned) {
    const r = rectOf(l);
    g.fillStyle = colourOf(l.type); g.fillRect(r.x, r.y, r.w, r.h);
  }
  if (data.peak) {
    g.strokeStyle = "#f00"; g.lineWidth = 2;
    const x = (data.peak.step + 0.5) * sx;
    g.beginPath(); g.moveTo(x, 0); g.lineTo(x, H); g.stroke();
  }
  if (selected !== null) {
    g.lineWidth = 2;
    for (const i of layers[selected].inputs) {
      const l = layers[i];
      if (l === undefined || l.block === null) continue;  // a damaged model
      const r = rectOf(l); g.strokeStyle = "#0af"; g.strokeRect(r.x, r.y, r.w, r.h);
    }
    if (layers[selected].block !== null) {
      const r = rectOf(layers[selected]); g.strokeStyle = "#fff"; g.strokeRect(r.x, r.y, r.w, r.h);
    }
  }
}
function layerAt(x, y) {
  for (let k = planned.length - 1; k >= 0; --k) {
    const r = rectOf(planned[k]);
    if (x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h) return planned[k];
  }
  return null;
}
function describe(l) {
  return "#" + l.index + " " + l.name + "\ntype " + l.type + "\nshape [" + l.shape.join(", ") +
    "]\n" + l.bytes + " bytes, " + l.blocks + " blocks from block " + l.block +
    "\nlive steps " + l.first + "-" + l.last;
}
function local(ev) {
  const b = canvas.getBoundingClientRect();
  return [(ev.clientX - b.left) * W / b.width, (ev.clientY - b.top) * H / b.height];
}
canvas.addEventListener("mousemove", ev => {
  const l = layerAt(...local(ev));
  if (!l) { tip.style.display = "none"; return; }
  tip.textContent = describe(l);
  tip.style.left = (ev.clientX + 12) + "px"; tip.style.top = (ev.clientY + 12) + "px";
  tip.style.display = "block";
});
canvas.addEventListener("mouseleave", () => { tip.style.display = "none"; });
canvas.addEventListener("click", ev => {
  const l = layerAt(...local(ev));
  if (l) select(l.index);
});
const tbody = document.querySelector("#layers tbody");
let order = layers.slice();
function esc(s) {
  return String(s).replace(/[&<>"]/g, c => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"}[c]));
}
function renderTable() {
  const f = document.getElementById("filter").value.toLowerCase();
  const rows = [];
  let shown = 0;
  for (const l of order) {
    if (f && !l.name.toLowerCase().includes(f) && !l.type.toLowerCase().includes(f)) continue;
    ++shown;
    const cls = (l.block !== null ? "layer planned" : "layer") + (l.index === selected ? " selected" : "") +
      (selected !== null && layers[selected].inputs.includes(l.index) ? " input" : "");
    rows.push('<tr class="' + cls + '" data-index="' + l.index + '"><td>' + l.index + "</td><td>" +
      esc(l.name) + "</td><td>" + esc(l.type) + "</td><td>[" + l.shape.join(", ") + "]</td><td>" +
      l.bytes + "</td><td>" + l.blocks + "</td><td>" + (l.block === null ? "-" : l.block) +
      "</td><td>" + l.first + "-" + l.last + "</td></tr>");
  }
  tbody.innerHTML = rows.join("");
  document.getElementById("shown").textContent = shown + " of " + layers.length + " layers";
}
function select(index) {
  selected = index;
  renderTable();
  draw();
  const row = tbody.querySelector('tr[data-index="' + index + '"]');
  if (row) row.scrollIntoView({block: "nearest"});
}
tbody.addEventListener("click", ev => {
  const row = ev.target.closest("tr");
  if (row) select(Number(row.dataset.index));
});
let sortKey = "index", ascending = true;
for (const th of document.querySelectorAll("#layers th")) {
  th.addEventListener("click", () => {
    const key = th.dataset.key;
    ascending = key === sortKey ? !ascending : true;
    sortKey = key;
    const value = l => key === "shape" ? l.shape.reduce((a, b) => a * b, 1) :
      (l[key] === null ? -1 : l[key]);
    order.sort((a, b) => {
      const x = value(a), y = value(b);
      return (x < y ? -1 : x > y ? 1 : a.index - b.index) * (ascending ? 1 : -1);
    });
    renderTable();
  });
}
document.getElementById("filter").addEventListener("input", renderTable);
document.getElementById("title").textContent = "Model " + data.model;
const summary = [
  ["file", data.file_bytes + " bytes"],
  ["layers", layers.length + " (" + planned.length + " planned)"],
  ["arena", blockSize ? data.arena.reserved_blocks + " reserved + " + data.arena.planned_blocks +
    " planned blocks = " + data.arena.bytes + " bytes" : "no plan"],
  ["parameters", Object.entries(data.params).map(([k, t]) => k + ": " + t.elements +
    " elements, " + t.bytes + " bytes").join("; ") || "none"],
  ["layer types", Object.entries(data.layer_types).map(([k, n]) => k + " " + n).join(", ")],
  ["peak", data.peak ? "step " + data.peak.step + ": " + data.peak.blocks + " blocks (" +
    data.peak.bytes + " bytes) in " + data.peak.layers.length + " layers" : "none"],
];
document.getElementById("summary").innerHTML =
  summary.map(([k, v]) => "<tr><td>" + k + "</td><td>" + esc(v) + "</td></tr>").join("");
document.getElementById("legend").innerHTML =
  "steps 0 to " + (layers.length - 1) + " across, blocks 0 to " + (lowest - 1) + " down: " +
  [...new Set(planned.map(l => l.type))].sort().map(t =>
    '<span><i style="background:' + colourOf(t) + '"></i>' + esc(t) + "</span>").join("");
renderTable();
draw();
// For tests and scripts: the layers drawn and where a layer's rectangle is
// on the page.
window.report = {
  rectangles: planned.length,
  centerOf(index) {
    const r = rectOf(layers[index]), b = canvas.getBoundingClientRect();
    return [b.left + (r.x + r.w / 2) * b.width / W, b.top + (r.y + r.h / 2) * b.height / H];
  },
};
</script></body></html>
)page";

}  // namespace

std::string HtmlReport(const ModelFacts& facts) {
  std::string json = SummaryJson(facts).dump(
      -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  // Nothing in the data may end the element that holds it or change how
  // it is read ("</script", "<!--"): '<' only occurs inside JSON texts,
  // where \u003c stands for it.
  std::string safe;
  safe.reserve(json.size());
  for (char c : json) {
    if (c == '<') {
      safe += "\\u003c";
    } else {
      safe += c;
    }
  }
  return kHead + safe + kTail;
}

}  // namespace sarnic
