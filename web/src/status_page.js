// The status page of livemill and veltview: polls the program's
// /status.json, shows its stations, outputs or writers in tables that turn
// into cards on a phone, and draws the live traces (traces.js). Everything
// comes from the page's own server.
import { DateTime } from "./seisplot.js";
import { SamplesFeed, SeedlinkFeed, TracePanel, counters, kTraceWindow } from "./traces.js";

const kStatusPollMs = 2000;
const kStatusTimeoutMs = 5000;
const kLagWarnSeconds = 60;
const kLagBadSeconds = 600;

window.veltPage = counters;

const byId = (id) => document.getElementById(id);
let lastStatus = null; // { status, at }: the last answer and when it came
const feeds = new Map(); // SeedLink station or "samples" -> its feed, made once

const escapes = { "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" };
function esc(value) {
  return String(value ?? "").replace(/[&<>"']/g, (c) => escapes[c]);
}

function dash(value) {
  return value == null || value === "" ? "—" : esc(value);
}

function timeText(iso) {
  return iso ? esc(iso.replace("T", " ").replace(/\.\d+/, "").replace("Z", "")) : "—";
}

function lagText(seconds) {
  if (seconds == null) return "—";
  const s = Math.abs(seconds);
  const text = s < 120 ? `${s} s` : s < 7200 ? `${Math.floor(s / 60)} min ${s % 60} s` :
    s < 172800 ? `${Math.floor(s / 3600)} h ${Math.floor((s % 3600) / 60)} min` : `${Math.floor(s / 86400)} d`;
  return seconds < 0 ? `${text} ahead` : text;
}

function bytesText(n) {
  // No-break spaces: a number never wraps away from its unit.
  if (n < 1000) return `${n}\u00a0B`;
  const units = ["kB", "MB", "GB", "TB"];
  let v = n, u = -1;
  do { v /= 1000; ++u; } while (v >= 1000 && u < units.length - 1);
  return `${v.toFixed(v < 10 ? 2 : 1)}\u00a0${units[u]}`;
}

function count(n, one, many) {
  return `${number(n)} ${n === 1 ? one : many}`;
}

function number(n) {
  return n == null ? "—" : Number(n).toLocaleString("en-US");
}

// Colour classes: ok (green), warn (amber), bad (red).
function lagClass(lag, base) {
  if (lag > kLagBadSeconds) return "bad"; // null and undefined compare false
  return lag > kLagWarnSeconds && base === "ok" ? "warn" : base;
}

function stateCell(cls, text, label = "State") {
  return `<td data-label="${label}"><span class="state ${cls}">${esc(text)}</span></td>`;
}

function cell(label, html, cls = "") {
  return `<td data-label="${label}"${cls ? ` class="${cls}"` : ""}>${html}</td>`;
}

function table(caption, heads, rows, className = "") {
  return `<table class="${className}"><caption>${caption}</caption>` +
    `<thead><tr>${heads.map((h) => `<th>${h}</th>`).join("")}</tr></thead><tbody>${rows.join("")}</tbody></table>`;
}

function livemillInputs(status, stale) {
  const rows = status.inputs.map((i) => {
    // A caught-up input waits between blocks all the time: that is healthy.
    const caughtUp = i.state === "waiting" && i.lag_seconds !== null && i.lag_seconds <= kLagWarnSeconds;
    const base = i.state === "converting" || caughtUp ? "ok" : "warn";
    const cls = stale ? "bad" : lagClass(i.lag_seconds, base);
    const outputs = i.outputs.map((o) => `${esc(o.kind)}: ${count(o.files, "file", "files")}, ${bytesText(o.bytes)}`);
    return `<tr class="row-${cls}">` +
      cell("Input", `${i.input}`) +
      cell("Station", `<b>${dash(i.station)}</b>${i.seedlink_station ? `<br><small>${esc(i.seedlink_station)}</small>` : ""}`) +
      stateCell(cls, stale ? "no answer" : i.state) +
      cell("Lag", lagText(i.lag_seconds), "num") +
      cell("Last block", timeText(i.last_block_time)) +
      cell("Input file", `${number(i.input_file)} <small>at byte ${number(i.offset)}</small>`) +
      cell("Outputs", outputs.join("<br>") || "—") +
      cell("FILELIST waiting", number(i.filelist_rows_waiting), "num") +
      "</tr>";
  });
  return table("Inputs", ["#", "Station", "State", "Lag", "Last block (UTC)", "Input file", "Outputs", "FILELIST waiting"],
    rows, "stations");
}

function linkClass(state) {
  return state === "connected" ? "ok" : state === "reconnecting" ? "warn" : "bad";
}

function writerClass(state) {
  if (state === "writing") return "ok";
  if (state === "off") return "off";
  return /lost/.test(state) ? "bad" : "warn";
}

// The recorder's fields shown by these names in this order; whatever else it
// reports follows under its own key, so that no field is hidden.
const kRecorderFields = [
  ["time_status", "Time status"], ["time_lock", "Time lock"], ["serial_number", "Serial number"],
  ["configuration_number", "Configuration"], ["restart_counter", "Restart counter"],
];
const kRecorderShown = new Set(["station", "channels", "sample_rate", "current_time", "lag_seconds", "last_block_time",
  "checksum_errors", "latitude", "longitude", "altitude", "sensors", ...kRecorderFields.map(([key]) => key)]);

function recorderFields(r, link) {
  const position = [r.latitude, r.longitude, r.altitude].filter(Boolean);
  const sensors = Array.isArray(r.sensors) ? r.sensors
    : Object.keys(r).filter((k) => /^sensor_\d+$/.test(k)).map((k) => r[k]);
  const fields = [
    ["Link", `${dash(link.text)}, ${count(link.reconnects, "reconnect", "reconnects")}`],
    ["Channels", `${dash(r.channels.join(" "))} at ${number(r.sample_rate)} samples/s`],
    ["Position (GPS)", position.length ? position.map(esc).join(", ") : "not known"],
    ...kRecorderFields.filter(([key]) => key in r).map(([key, label]) => [label, dash(r[key])]),
    ["Sensors", sensors.map(dash).join("<br>") || "—"],
  ];
  for (const [key, value] of Object.entries(r)) {
    if (kRecorderShown.has(key) || /^(sensor|channel)_\d+$/.test(key)) continue;
    const label = key.replace(/_/g, " ").replace(/^./, (c) => c.toUpperCase());
    fields.push([esc(label), dash(typeof value === "object" ? JSON.stringify(value) : value)]);
  }
  return `<dl class="fields">${fields.map(([k, v]) => `<div><dt>${k}</dt><dd>${v}</dd></div>`).join("")}</dl>`;
}

function veltviewTables(status, stale) {
  const r = status.recorder, link = status.link;
  const cls = stale ? "bad" : lagClass(r.lag_seconds, linkClass(link.state));
  const recorder = table("Recorder", ["Station", "Link", "Lag", "Recorder time", "Checksum errors"], [
    `<tr class="row-${cls}">` + cell("Station", `<b>${dash(r.station)}</b>`) +
    stateCell(cls, stale ? "no answer" : link.state, "Link") + cell("Lag", lagText(r.lag_seconds), "num") +
    cell("Recorder time", dash(r.current_time)) + cell("Checksum errors", number(r.checksum_errors), "num") + "</tr>",
  ], "stations");
  const writers = table("Writers", ["Writer", "State", "File", "Bytes"], Object.entries(status.writers).map(([name, w]) =>
    `<tr>${cell("Writer", esc(name))}${stateCell(writerClass(w.state), w.state)}${cell("File", dash(w.file))}` +
    `${cell("Bytes", w.bytes == null ? "—" : bytesText(w.bytes), "num")}</tr>`));
  return [recorder, recorderFields(r, link) + writers];
}

function stations(status) {
  if (status.program === "veltview") return [status.recorder.station].filter(Boolean);
  return [...new Set(status.inputs.map((i) => i.station).filter(Boolean))];
}

// Makes the trace feeds of stations that have data to show, once each.
function startTraces(status) {
  const parent = byId("traces");
  if (status.program === "veltview") {
    if (feeds.has("samples")) return;
    const panel = new TracePanel(parent, status.recorder.station || "Recorder");
    panel.reset(status.recorder.channels);
    feeds.set("samples", new SamplesFeed(panel));
    return;
  }
  for (const i of status.inputs) {
    if (!i.seedlink_station || feeds.has(i.seedlink_station)) continue;
    const panel = new TracePanel(parent, `${i.seedlink_station} (input ${i.input})`);
    panel.reset(i.channels);
    const last = i.last_block_time ? DateTime.fromISO(i.last_block_time, { zone: "utc" }) : null;
    feeds.set(i.seedlink_station, new SeedlinkFeed(panel, i.seedlink_station, last?.minus(kTraceWindow)));
  }
}

function render(status, stale) {
  const names = stations(status);
  const title = `${status.program}${names.length ? ` · ${names.join(", ")}` : ""}`;
  document.title = title;
  byId("title").textContent = title;
  const parts = [`version ${esc(status.version)}`, `server time ${timeText(status.now)} UTC`,
    `running since ${timeText(status.started)}`];
  if (status.seedlink) parts.push(`SeedLink: ${count(status.seedlink.clients, "client", "clients")}`);
  byId("summary").innerHTML = parts.map((p) => `<span>${p}</span>`).join("");
  // The station table first, then the traces, then the rest (veltview's
  // recorder fields and writers), so that a phone shows the traces early.
  const [overview, details] = status.program === "veltview" ? veltviewTables(status, stale)
    : [livemillInputs(status, stale), ""];
  byId("overview").innerHTML = overview;
  byId("details").innerHTML = details;
  if (!stale) startTraces(status);
}

function showProblem(text) {
  const box = byId("problem");
  box.hidden = !text;
  box.textContent = text;
}

// Time of day, UTC, of a Date.
const clock = (date) => `${date.toISOString().slice(11, 19)} UTC`;

async function loadStatus() {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), kStatusTimeoutMs);
  let status = null, why = "";
  try {
    const answer = await fetch("/status.json", { cache: "no-store", signal: abort.signal });
    if (!answer.ok) throw new Error(`HTTP ${answer.status} ${answer.statusText}`);
    status = await answer.json();
  } catch (e) {
    // fetch() tells a refused or broken connection only as a TypeError.
    why = e.name === "AbortError" ? `no answer within ${kStatusTimeoutMs / 1000} s`
      : e instanceof TypeError ? "no connection" : e.message;
  }
  clearTimeout(timer);
  setTimeout(loadStatus, kStatusPollMs);
  if (status) {
    ++counters.statusLoads;
    lastStatus = { status, at: new Date() };
    showProblem("");
    render(status, false);
    byId("updated").textContent = `updated ${clock(lastStatus.at)}`;
  } else {
    counters.lastError = `/status.json: ${why}`;
    showProblem(`No status from the program ${lastStatus ? `since ${clock(lastStatus.at)}` : "yet"} (${why}); ` +
      `trying again every ${kStatusPollMs / 1000} s.`);
    if (lastStatus) render(lastStatus.status, true);
  }
}

loadStatus();
