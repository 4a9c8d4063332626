// The HTML report: one self-contained page (no network, no external
// scripts or fonts) with the summary, a sortable and filterable layer
// table and the arena plan drawn on a canvas, which stays smooth with tens
// of thousands of layers.
#include <ostream>
#include <sstream>
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
#layers td, #layers th { border: 1px solid #ddd; padding: 0 6px; height: 21px; white-space: nowrap; }
#layers td.attributes { max-width: 420px; overflow: hidden; text-overflow: ellipsis; }
#layers tr.spacer td { border: 0; }
#layers tr.selected { background: #ffe08a; }
#legend span { display: inline-block; margin-right: 14px; }
#legend i { display: inline-block; width: 12px; height: 12px; margin-right: 4px; vertical-align: middle; }
#layers tr.input { background: #cde8ff; }
#table-box { max-height: 480px; overflow: auto; }
</style></head><body>
<h1 id="title"></h1>
<table id="summary"></table>
<h2>Arena plan</h2>
<p>Steps across, blocks down: step <i>t</i> is the <i>t</i>-th planned
layer, counted from 0, as in the exporter's memory map picture (constants,
reshapes and copies take no step). One outlined rectangle per planned
layer, coloured by layer type. The red line marks the peak step. Hover for
details; click to select a layer and outline its inputs.</p>
<div id="plan-box"><canvas id="plan"></canvas></div>
<p id="legend"></p>
<div id="tip"></div>
<h2>Layers</h2>
<p><input id="filter" placeholder="filter by name or type" size="40"> <span id="shown"></span></p>
<div id="table-box"><table id="layers"><thead><tr>
<th data-key="index">#</th><th data-key="name">name</th><th data-key="type">type</th>
<th data-key="shape">shape</th><th data-key="bytes">bytes</th><th data-key="blocks">blocks</th>
<th data-key="block">block</th><th data-key="first">live steps</th>
<th data-key="param_bytes" title="the parameter data the layer uses: its own and that of the constants it reads">parameter bytes</th>
<th data-key="attributes">attributes</th></tr></thead><tbody></tbody></table></div>
<script type="application/json" id="data">)page";

constexpr const char* kTail = R"page(</script>
<script>
"use strict";
const data = JSON.parse(document.getElementById("data").textContent);
const layers = data.layers;
// The steps are the planned layers in order. A layer's live range, in the
// file's layer positions, becomes steps: from its own step to the last step
// at or before its last reader.
const stepAtOrBefore = new Array(layers.length);
let plannedSteps = 0;
for (const l of layers) {
  if (l.block !== null) ++plannedSteps;
  stepAtOrBefore[l.index] = plannedSteps - 1;
}
for (const l of layers) {
  l.first = l.block === null ? null : stepAtOrBefore[l.index];
  l.last = l.block === null ? null : Math.max(l.first, stepAtOrBefore[l.live[1]] ?? l.first);
}
const planned = layers.filter(l => l.block !== null && l.blocks > 0);
const blockSize = data.arena.block_size;
const steps = Math.max(1, plannedSteps);
// The peak: the step at which the planned layers live hold the most blocks
// (the first such step).
const peak = (() => {
  const delta = new Array(steps + 1).fill(0);
  for (const l of planned) { delta[l.first] += l.blocks; delta[l.last + 1] -= l.blocks; }
  let live = 0, best = null;
  for (let t = 0; t < steps; ++t) {
    live += delta[t];
    if (live > 0 && (best === null || live > best.blocks)) best = { step: t, blocks: live };
  }
  if (best !== null) best.layers = planned.filter(l => l.first <= best.step && best.step <= l.last);
  return best;
})();
const reserved = data.arena.reserved_blocks || 0;
const plannedBlocks = Math.max(1, data.arena.planned_blocks || 0);
const canvas = document.getElementById("plan");
const tip = document.getElementById("tip");
const W = 1200, H = 480;
// The reserved leading blocks are one labelled band at the top; the planned
// blocks fill the rest of the height, whatever their share of the arena.
const BAND = reserved > 0 ? 22 : 0;
canvas.width = W; canvas.height = H;
const sx = W / steps, sy = (H - BAND) / plannedBlocks;
// The model's layer types spread evenly round the colour wheel, lighter
// and darker in turn: no two types of one model share a colour.
const types = [...new Set(layers.map(l => l.type))].sort();
const colours = {};
types.forEach((t, i) => {
  colours[t] = "hsl(" + (i * 360 / types.length).toFixed(1) + ",70%," + (i % 2 ? 40 : 62) + "%)";
});
function colourOf(type) { return colours[type]; }
// A layer's rectangle in whole canvas pixels, at least one pixel each way:
// what is drawn is exactly what the mouse finds.
function rectOf(l) {
  const x0 = Math.floor(l.first * sx), x1 = Math.max(x0 + 1, Math.floor((l.last + 1) * sx));
  const top = Math.max(0, l.block - reserved);
  const y0 = BAND + Math.floor(top * sy);
  const y1 = Math.max(y0 + 1, BAND + Math.floor((top + l.blocks) * sy));
  return { x: x0, y: y0, w: x1 - x0, h: y1 - y0 };
}
const rects = planned.map(rectOf);
let selected = null;
function draw() {
  const g = canvas.getContext("2d");
  g.fillStyle = "#2a2a2a"; g.fillRect(0, 0, W, H);
  if (BAND) {
    g.fillStyle = "#666"; g.fillRect(0, 0, W, BAND - 2);
    g.fillStyle = "#fff"; g.font = "12px sans-serif"; g.textBaseline = "middle";
    g.fillText("reserved: " + reserved + " blocks (" + reserved * blockSize + " bytes); " +
               "planned below: " + plannedBlocks + " blocks", 6, (BAND - 2) / 2);
  }
  for (let k = 0; k < planned.length; ++k) {
    const r = rects[k];
    g.fillStyle = colourOf(planned[k].type); g.fillRect(r.x, r.y, r.w, r.h);
  }
  // Each layer outlined, so that neighbours of one type stay apart.
  g.lineWidth = 1; g.strokeStyle = "rgba(0,0,0,0.6)";
  for (const r of rects) {
    if (r.w >= 4 && r.h >= 4) g.strokeRect(r.x + 0.5, r.y + 0.5, r.w - 1, r.h - 1);
  }
  if (peak) {
    g.strokeStyle = "#f00"; g.lineWidth = 2;
    const x = (peak.step + 0.5) * sx;
    g.beginPath(); g.moveTo(x, BAND); g.lineTo(x, H); g.stroke();
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
// The layer drawn on top at a canvas pixel: the last one drawn there.
function layerAt(x, y) {
  const px = Math.floor(x), py = Math.floor(y);
  for (let k = planned.length - 1; k >= 0; --k) {
    const r = rects[k];
    if (px >= r.x && px < r.x + r.w && py >= r.y && py < r.y + r.h) return planned[k];
  }
  return null;
}
function describe(l) {
  return "#" + l.index + " " + l.name + "\ntype " + l.type + "\nshape [" + l.shape.join(", ") +
    "]\n" + l.bytes + " bytes, " + l.blocks + " blocks from block " + l.block +
    "\nlive steps " + l.first + "-" + l.last +
    (l.param_bytes ? "\n" + l.param_bytes + " parameter bytes" : "") +
    (l.attributes ? "\n" + l.attributes : "");
}
function local(ev) {
  const b = canvas.getBoundingClientRect();
  return [(ev.clientX - b.left) * W / b.width, (ev.clientY - b.top) * H / b.height];
}
// The tooltip beside the pointer, flipped to its other side where it would
// leave the window.
function placeTip(ev) {
  const gap = 12, w = tip.offsetWidth, h = tip.offsetHeight;
  let x = ev.clientX + gap, y = ev.clientY + gap;
  if (x + w > window.innerWidth - 4) x = Math.max(4, ev.clientX - gap - w);
  if (y + h > window.innerHeight - 4) y = Math.max(4, ev.clientY - gap - h);
  tip.style.left = x + "px"; tip.style.top = y + "px";
}
canvas.addEventListener("mousemove", ev => {
  const l = layerAt(...local(ev));
  if (!l) { tip.style.display = "none"; return; }
  tip.textContent = describe(l);
  tip.style.display = "block";
  placeTip(ev);
});
canvas.addEventListener("mouseleave", () => { tip.style.display = "none"; });
canvas.addEventListener("click", ev => {
  const l = layerAt(...local(ev));
  if (l) select(l.index);
});
// The layer table is a virtual list: every row has the same height, and
// only the rows in view (and a few around them) are in the page, between
// two spacer rows that keep the scroll height of all of them.
let ROW = 22;
const EXTRA = 20;
const box = document.getElementById("table-box");
const tbody = document.querySelector("#layers tbody");
let order = layers.slice();
let view = order;
function esc(s) {
  return String(s).replace(/[&<>"]/g, c => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"}[c]));
}
function rowHtml(l) {
  const cls = (l.block !== null ? "layer planned" : "layer") + (l.index === selected ? " selected" : "") +
    (selected !== null && layers[selected].inputs.includes(l.index) ? " input" : "");
  return '<tr class="' + cls + '" data-index="' + l.index + '"><td>' + l.index + "</td><td>" +
    esc(l.name) + "</td><td>" + esc(l.type) + "</td><td>[" + l.shape.join(", ") + "]</td><td>" +
    l.bytes + "</td><td>" + l.blocks + "</td><td>" + (l.block === null ? "-" : l.block) +
    "</td><td>" + (l.first === null ? "-" : l.first + "-" + l.last) + "</td><td>" + l.param_bytes +
    '</td><td class="attributes" title="' + esc(l.attributes) + '">' + esc(l.attributes) + "</td></tr>";
}
function renderRows() {
  const head = document.querySelector("#layers thead").offsetHeight;
  const top = Math.max(0, box.scrollTop - head);
  const first = Math.max(0, Math.floor(top / ROW) - EXTRA);
  const last = Math.min(view.length, Math.ceil((top + box.clientHeight) / ROW) + EXTRA);
  const rows = ['<tr class="spacer" style="height:' + first * ROW + 'px"></tr>'];
  for (let k = first; k < last; ++k) rows.push(rowHtml(view[k]));
  rows.push('<tr class="spacer" style="height:' + (view.length - last) * ROW + 'px"></tr>');
  tbody.innerHTML = rows.join("");
}
function renderTable() {
  const f = document.getElementById("filter").value.toLowerCase();
  view = f ? order.filter(l => l.name.toLowerCase().includes(f) ||
                               l.type.toLowerCase().includes(f)) : order;
  document.getElementById("shown").textContent = view.length + " of " + layers.length + " layers";
  renderRows();
}
box.addEventListener("scroll", renderRows);
function select(index) {
  selected = index;
  const at = view.findIndex(l => l.index === index);
  if (at >= 0) {
    const head = document.querySelector("#layers thead").offsetHeight;
    const y = head + at * ROW;
    if (y < box.scrollTop + head || y + ROW > box.scrollTop + box.clientHeight) {
      box.scrollTop = Math.max(0, y - box.clientHeight / 2);
    }
  }
  renderRows();
  draw();
}
tbody.addEventListener("click", ev => {
  const row = ev.target.closest("tr.layer");
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
  ["peak", peak ? "step " + peak.step + ": " + peak.blocks + " blocks (" +
    peak.blocks * blockSize + " bytes) in " + peak.layers.length + " layers" : "none"],
];
document.getElementById("summary").innerHTML =
  summary.map(([k, v]) => "<tr><td>" + k + "</td><td>" + esc(v) + "</td></tr>").join("");
const plannedTypes = new Set(planned.map(l => l.type));
document.getElementById("legend").innerHTML =
  "steps 0 to " + (steps - 1) + " across; the reserved blocks in the top band, " +
  "planned blocks " + reserved + " to " + (reserved + plannedBlocks - 1) + " down: " +
  types.filter(t => plannedTypes.has(t)).map(t =>
    '<span><i style="background:' + colourOf(t) + '"></i>' + esc(t) + "</span>").join("");
renderTable();
// Rows are as high as the browser draws them: measured once.
const drawn = tbody.querySelector("tr.layer");
if (drawn && drawn.offsetHeight > 0 && drawn.offsetHeight !== ROW) {
  ROW = drawn.offsetHeight;
  renderRows();
}
draw();
// For tests and scripts: the layers drawn, the rows the table lists (with
// the planned ones), and where a layer's rectangle is on the page.
window.report = {
  rectangles: planned.length,
  count: layers.length,
  steps,
  colours,
  peak: peak && { step: peak.step, blocks: peak.blocks },
  stepOf(index) { return layers[index].first; },
  select,
  rectOf(index) { return layers[index].block === null ? null : rectOf(layers[index]); },
  get rows() { return view.length; },
  get plannedRows() { return view.filter(l => l.block !== null).length; },
  centerOf(index) {
    const r = rectOf(layers[index]), b = canvas.getBoundingClientRect();
    return [b.left + (r.x + r.w / 2) * b.width / W, b.top + (r.y + r.h / 2) * b.height / H];
  },
  layerAtPage(x, y) {
    const b = canvas.getBoundingClientRect();
    const l = layerAt((x - b.left) * W / b.width, (y - b.top) * H / b.height);
    return l === null ? null : l.index;
  },
};
</script></body></html>
)page";

}  // namespace

void WriteHtmlReport(std::ostream& out, const ModelFacts& facts) {
  out << kHead;
  // Nothing in the data may end the element that holds it or change how
  // it is read ("</script", "<!--"): '<' only occurs inside JSON texts,
  // where \u003c stands for it.
  WriteSummaryJson(out, facts, -1, [](std::string piece) {
    std::string safe;
    safe.reserve(piece.size());
    for (char c : piece) {
      if (c == '<') {
        safe += "\\u003c";
      } else {
        safe += c;
      }
    }
    return safe;
  });
  out << kTail;
}

std::string HtmlReport(const ModelFacts& facts) {
  std::ostringstream out;
  WriteHtmlReport(out, facts);
  return out.str();
}

}  // namespace sarnic
