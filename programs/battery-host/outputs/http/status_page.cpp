#include "programs/battery-host/outputs/http/status_page.h"

namespace {

constexpr std::string_view kPage = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Battery monitors</title>
<style>
:root { --normal: #2f9e44; --high: #e03131; --low: #f08c00; --ink: #1b1f24; --muted: #5c6670;
        --line: #d5dbe1; }
* { box-sizing: border-box; }
body { margin: 0; font: 15px/1.4 system-ui, "DejaVu Sans", sans-serif; color: var(--ink);
       background: #eef1f4; }
header { display: flex; flex-wrap: wrap; gap: .25rem 1.25rem; align-items: baseline;
         padding: .75rem 1rem; background: var(--ink); color: #fff; }
header h1 { font-size: 1.15rem; margin: 0; }
#summary { color: #c9d1d9; font-size: .9rem; }
#problem { color: #ffa8a8; font-size: .9rem; }
.legend { display: flex; flex-wrap: wrap; gap: .25rem 1rem; font-size: .8rem; color: var(--muted);
          padding: .75rem 1rem 0; }
.swatch { display: inline-block; width: .8rem; height: .8rem; border-radius: 2px;
          margin-right: .3rem; vertical-align: -1px; }
main { display: grid; grid-template-columns: repeat(auto-fill, minmax(min(100%, 26rem), 1fr));
       gap: 1rem; padding: 1rem; }
.device { background: #fff; border-radius: 8px; padding: .75rem 1rem 1rem;
          box-shadow: 0 1px 2px rgba(0, 0, 0, .1); border-top: 4px solid var(--normal); }
.device.stale { border-top-color: var(--low); }
.device.silent { border-top-color: var(--high); }
.title { display: flex; flex-wrap: wrap; gap: .4rem; align-items: center; }
.title h2 { font-size: 1.1rem; margin: 0 auto 0 0; }
.badge { font-size: .8rem; padding: .1rem .55rem; border-radius: 999px; background: #e9ecef; }
.badge.live, .badge.up { background: #d3f9d8; color: #2b8a3e; }
.badge.stale { background: #fff3bf; color: #a05a00; }
.badge.silent, .badge.down { background: #ffe3e3; color: #c92a2a; }
svg { width: 100%; height: auto; display: block; margin: .5rem 0 .75rem; }
.bar.normal, .swatch.normal { fill: var(--normal); background: var(--normal); }
.bar.high, .swatch.high { fill: var(--high); background: var(--high); }
.bar.low, .swatch.low { fill: var(--low); background: var(--low); }
.bar.extreme { stroke: var(--ink); stroke-width: 1.5; }
.axis { fill: var(--muted); font-size: 9px; }
.axis.end { text-anchor: end; }
.axis.middle { text-anchor: middle; }
.grid { stroke: var(--line); stroke-width: 1; }
dl { display: grid; grid-template-columns: repeat(auto-fill, minmax(8rem, 1fr));
     gap: .4rem 1rem; margin: 0; }
dt { font-size: .75rem; color: var(--muted); }
dd { margin: 0; font-variant-numeric: tabular-nums; font-weight: 600; }
dd.high { color: var(--high); }
dd.low { color: var(--low); }
.empty { color: var(--muted); margin: 1rem 0; }
</style>
</head>
<body>
<header><h1>Battery monitors</h1><span id="summary">waiting for the host</span>
<span id="problem"></span></header>
<div class="legend"><span><span class="swatch normal"></span>inside its limits</span>
<span><span class="swatch high"></span>above its high limit</span>
<span><span class="swatch low"></span>below its low limit</span>
<span>outlined: lowest and highest cell</span></div>
<main id="devices"></main>
<script>
"use strict";
const SVG = "http://www.w3.org/2000/svg";
const W = 340, H = 150, LEFT = 30, TOP = 6, BOTTOM = 16;

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function svgElement(tag, attributes, text) {
  const e = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes)) e.setAttribute(name, value);
  if (text !== undefined) e.textContent = text;
  return e;
}

function fixed(value, digits, unit) {
  return typeof value === "number" ? value.toFixed(digits) + " " + unit : "–";
}

function age(seconds) {
  if (seconds === null) return "no record yet";
  if (seconds < 60) return seconds.toFixed(1) + " s";
  if (seconds < 3600) return (seconds / 60).toFixed(1) + " min";
  return (seconds / 3600).toFixed(1) + " h";
}

// The lowest and highest cell with a value (the first of equals).
function extremes(cells) {
  let low = -1, high = -1;
  cells.forEach((v, i) => {
    if (typeof v !== "number") return;
    if (low < 0 || v < cells[low]) low = i;
    if (high < 0 || v > cells[high]) high = i;
  });
  return { low, high };
}

// 32 bars on a scale from just below the lowest cell to just above the
// highest, in steps of 50 mV, so that a sagging cell stands out. Cells are
// labelled with the numbers the plug-in shows, from `first`.
function chart(cells, states, low, high, first) {
  const svg = svgElement("svg", { viewBox: `0 0 ${W} ${H}`, role: "img" });
  const bottom = Math.floor((cells[low] - 0.02) * 20) / 20;
  const top = Math.ceil((cells[high] + 0.02) * 20) / 20;
  const y = v => TOP + (top - v) / (top - bottom) * (H - TOP - BOTTOM);
  for (const v of [bottom, (bottom + top) / 2, top]) {
    svg.append(svgElement("line", { class: "grid", x1: LEFT, x2: W, y1: y(v), y2: y(v) }));
    svg.append(svgElement("text", { class: "axis end", x: LEFT - 3, y: y(v) + 3 }, v.toFixed(2)));
  }
  const step = (W - LEFT) / cells.length;
  cells.forEach((v, i) => {
    const value = typeof v === "number" ? v : bottom;
    const bar = svgElement("rect", {
      class: "bar " + states[i] + (i === low || i === high ? " extreme" : ""),
      x: (LEFT + i * step + 1).toFixed(1), width: (step - 2).toFixed(1),
      y: y(value).toFixed(1), height: (y(bottom) - y(value)).toFixed(1),
      "data-cell": i, "data-volts": typeof v === "number" ? String(v) : "",
      "data-state": states[i] });
    bar.append(svgElement("title", {}, `cell ${first + i}: ${fixed(v, 3, "V")} (${states[i]})`));
    svg.append(bar);
    if (i % 4 === 0 || i === cells.length - 1) {
      svg.append(svgElement("text", { class: "axis middle", x: LEFT + (i + 0.5) * step, y: H - 4 },
                            String(first + i)));
    }
  });
  return svg;
}

function fact(list, label, text, state) {
  list.append(element("dt", "", label), element("dd", state || "", text));
}

function card(device) {
  const box = element("section", "device " + device.status);
  box.dataset.id = device.data_id;
  box.dataset.completed = device.cycles_completed;
  const title = element("div", "title");
  title.append(element("h2", "", device.name + " (" + device.data_id + ")"),
               element("span", "badge " + device.status, device.status),
               element("span", "badge " + (device.port_up ? "up" : "down"),
                       device.port + (device.port_up ? " up" : " down")));
  box.append(title);
  const list = element("dl");
  const record = device.record;
  const states = device.thresholds;
  if (record) {
    const { low, high } = extremes(record.cells);
    if (low >= 0) {
      const first = device.first_cell;
      box.append(chart(record.cells, states.cells, low, high, first));
      fact(list, "Lowest cell", `${first + low}: ${fixed(record.cells[low], 3, "V")}`,
           states.cells[low]);
      fact(list, "Highest cell", `${first + high}: ${fixed(record.cells[high], 3, "V")}`,
           states.cells[high]);
      fact(list, "Spread", ((record.cells[high] - record.cells[low]) * 1000).toFixed(0) + " mV");
    }
    fact(list, "Group voltage",
         record.group_voltage === null ? "missing: a peer's value was not there"
                                       : fixed(record.group_voltage, 2, "V"),
         states.group_voltage);
    fact(list, "Current", fixed(record.group_current, 2, "A"), states.group_current);
    fact(list, "Temperature", fixed(record.temperature, 1, "°C"), states.temperature);
    fact(list, "Sample time", record.sample_time ? record.sample_time.replace("T", " ") : "–");
  } else {
    box.append(element("p", "empty", "No record yet in this run."));
  }
  fact(list, "Record age", age(device.record_age_s));
  fact(list, "Cycles", `${device.cycles_completed} completed, ${device.cycles_given_up} given up`);
  fact(list, "Stale bytes", String(device.stale_bytes));
  box.append(list);
  return box;
}

function render(data) {
  const counts = { live: 0, stale: 0, silent: 0 };
  for (const device of data.devices) counts[device.status] += 1;
  document.getElementById("devices").replaceChildren(...data.devices.map(card));
  document.getElementById("summary").textContent =
    `${data.devices.length} monitors: ${counts.live} live, ${counts.stale} stale, ` +
    `${counts.silent} silent · ${data.time.replace("T", " ")}`;
}

async function refresh() {
  let wait = 2000;
  const problem = document.getElementById("problem");
  try {
    const response = await fetch("/api/v1/devices", { cache: "no-store" });
    if (!response.ok) throw new Error("HTTP " + response.status);
    const data = await response.json();
    render(data);
    wait = data.refresh_ms;
    problem.textContent = "";
  } catch (error) {
    problem.textContent = "The host does not answer (" + error.message + "); trying again.";
  }
  setTimeout(refresh, wait);
}

refresh();
</script>
</body>
</html>
)page";

}  // namespace

std::string_view StatusPage() {
  return kPage;
}
