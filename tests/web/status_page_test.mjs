// The status page as a browser shows it: headless Chromium, driven over the
// DevTools protocol, opens URL and must show at least one station row and
// live traces that move (the page's draw counter grows and the traces'
// pixels change over at least 3 s), with no console error, no uncaught
// exception and no failed request. Then a phone-sized view must not scroll
// sideways. Screenshots: SCREENSHOT.png (desktop) and SCREENSHOT-phone.png.
//
// Usage: node tests/web/status_page_test.mjs URL SCREENSHOT.png
// Exit status: 0 passed, 1 failed, 2 bad arguments, 77 no Chromium
// (CHROMIUM names another binary than /usr/bin/chromium). Needs the ws
// package of web/node_modules.
import { spawn } from "node:child_process";
import { createHash } from "node:crypto";
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const kDeadlineMs = 45_000;
const kMovingGapMs = 3_000;

const [url, screenshot] = process.argv.slice(2);
if (!url || !screenshot?.endsWith(".png")) {
  console.error("usage: node status_page_test.mjs URL SCREENSHOT.png");
  process.exit(2);
}
const chromiumPath = process.env.CHROMIUM || "/usr/bin/chromium";
if (!existsSync(chromiumPath)) {
  console.log(`SKIP: ${chromiumPath} is missing`);
  process.exit(77);
}
const webDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../../web");
const { WebSocket } = createRequire(path.join(webDir, "package.json"))("ws");

// Chromium in a process group of its own, so that its helpers end with it,
// whatever way this script ends.
const profile = mkdtempSync(path.join(os.tmpdir(), "velt-chromium-"));
const chromium = spawn(chromiumPath, [
  "--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-port=0", `--user-data-dir=${profile}`,
  "--window-size=1200,900", "--no-first-run", "--no-default-browser-check", "--disable-extensions",
  "--disable-background-networking", "--disable-component-update", "--disable-sync", "--mute-audio",
  "about:blank",
], { detached: true, stdio: ["ignore", "ignore", "pipe"] });
let chromiumLog = "";
chromium.stderr.on("data", (d) => { chromiumLog = (chromiumLog + d).slice(-4000); });
process.on("exit", () => {
  try { process.kill(-chromium.pid, "SIGKILL"); } catch { /* already gone */ }
  rmSync(profile, { recursive: true, force: true });
});
for (const signal of ["SIGINT", "SIGTERM"]) process.on(signal, () => process.exit(1));

function fail(reason) {
  console.error(`status_page_test: FAIL: ${url}: ${reason}`);
  process.exit(1);
}
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const deadline = Date.now() + kDeadlineMs;

// The DevTools port Chromium took, from the file it writes into its profile.
let port = null;
while (!port) {
  if (chromium.exitCode !== null) fail(`chromium ended (status ${chromium.exitCode}): ${chromiumLog}`);
  if (Date.now() > deadline) fail("chromium wrote no DevToolsActivePort");
  try { port = Number(readFileSync(path.join(profile, "DevToolsActivePort"), "utf8").split("\n")[0]) || null; } catch { /* not yet */ }
  if (!port) await sleep(100);
}
const targets = await (await fetch(`http://127.0.0.1:${port}/json/list`)).json();
const target = targets.find((t) => t.type === "page");
if (!target) fail("chromium has no page target");

const ws = new WebSocket(target.webSocketDebuggerUrl, { perMessageDeflate: false });
await new Promise((resolve, reject) => { ws.once("open", resolve); ws.once("error", reject); })
  .catch((e) => fail(`DevTools connection: ${e.message}`));
// Nothing would answer a pending command any more.
ws.on("close", () => fail(`the DevTools connection closed: ${chromiumLog}`));
chromium.on("exit", (code) => fail(`chromium ended (status ${code}): ${chromiumLog}`));
let nextId = 0;
const pending = new Map();
const problems = [];
let loaded = false;
ws.on("message", (data) => {
  const m = JSON.parse(data);
  if (m.id !== undefined) {
    const p = pending.get(m.id);
    pending.delete(m.id);
    if (m.error) p.reject(new Error(`${p.method}: ${m.error.message}`));
    else p.resolve(m.result);
    return;
  }
  const q = m.params;
  switch (m.method) {
    case "Page.loadEventFired": loaded = true; break;
    case "Runtime.exceptionThrown":
      problems.push(`exception: ${q.exceptionDetails.exception?.description ?? q.exceptionDetails.text}`);
      break;
    case "Runtime.consoleAPICalled":
      if (q.type === "error" || q.type === "assert")
        problems.push(`console.${q.type}: ${q.args.map((a) => a.value ?? a.description).join(" ")}`);
      break;
    case "Log.entryAdded":
      if (q.entry.level === "error") problems.push(`log: ${q.entry.text} ${q.entry.url ?? ""}`);
      break;
    case "Network.loadingFailed":
      problems.push(`request failed: ${q.errorText} (${q.type})`);
      break;
    case "Network.responseReceived":
      if (q.response.status >= 400) problems.push(`HTTP ${q.response.status}: ${q.response.url}`);
      break;
  }
});
function send(method, params = {}) {
  const id = ++nextId;
  ws.send(JSON.stringify({ id, method, params }));
  return new Promise((resolve, reject) => pending.set(id, { resolve, reject, method }));
}
async function evaluate(expression) {
  const r = await send("Runtime.evaluate", { expression, returnByValue: true });
  if (r.exceptionDetails) fail(`evaluating in the page: ${r.exceptionDetails.text}`);
  return r.result.value;
}
async function capture(file) {
  const { cssContentSize: size } = await send("Page.getLayoutMetrics");
  const shot = await send("Page.captureScreenshot", {
    format: "png", captureBeyondViewport: true,
    clip: { x: 0, y: 0, width: Math.ceil(size.width), height: Math.ceil(size.height), scale: 1 },
  });
  writeFileSync(file, Buffer.from(shot.data, "base64"));
}

// What the page shows now: its counters, its station rows, and the traces'
// pixels (each seismograph draws on a canvas in its shadow tree).
const kLook = `(() => {
  let inked = 0, canvases = 0;
  const bytes = [];
  for (const g of document.querySelectorAll("sp-seismograph")) {
    const c = g.shadowRoot && g.shadowRoot.querySelector("canvas");
    if (!c || c.width === 0 || c.height === 0) continue;
    ++canvases;
    const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
    for (let i = 3; i < d.length; i += 4) if (d[i] !== 0) ++inked;
    bytes.push(c.toDataURL());
  }
  return { page: window.veltPage ? { ...window.veltPage } : null,
    rows: document.querySelectorAll("table.stations tbody tr").length, canvases, inked, pixels: bytes.join("|") };
})()`;
async function look() {
  const v = await evaluate(kLook);
  v.fingerprint = createHash("sha256").update(v.pixels).digest("hex").slice(0, 16);
  delete v.pixels;
  return v;
}

await Promise.all([send("Runtime.enable"), send("Log.enable"), send("Page.enable"), send("Network.enable")]);
await send("Page.navigate", { url }).then((r) => { if (r.errorText) fail(`navigation: ${r.errorText}`); });

// Traces drawn once, then drawn again ≥3 s later with other pixels.
let first = null, now = null;
for (;;) {
  if (problems.length > 0) fail(problems.join("; "));
  if (Date.now() > deadline) {
    fail(`within ${kDeadlineMs / 1000} s: ` + (!loaded ? "the page did not load" :
      !now?.page ? "no window.veltPage" : now.rows === 0 ? "no station row" :
      !first ? `no trace drawn (${JSON.stringify(now)})` : `the traces did not change (${JSON.stringify(now)})`));
  }
  await sleep(500);
  if (!loaded) continue;
  now = await look();
  if (!now.page || now.rows === 0 || now.page.traceDraws === 0 || now.inked === 0) continue;
  if (!first) {
    first = { ...now, at: Date.now() };
    continue;
  }
  if (Date.now() - first.at >= kMovingGapMs && now.page.traceDraws > first.page.traceDraws &&
      now.fingerprint !== first.fingerprint) break;
}
await capture(screenshot);

// A phone: the page must fit its width (tables become cards).
await send("Emulation.setDeviceMetricsOverride", { width: 390, height: 844, deviceScaleFactor: 2, mobile: true });
await sleep(2_000);
const widths = await evaluate("({ scroll: document.documentElement.scrollWidth, view: window.innerWidth })");
const phoneShot = screenshot.replace(/\.png$/, "-phone.png");
await capture(phoneShot);
if (problems.length > 0) fail(problems.join("; "));
if (widths.scroll > widths.view) fail(`on a 390 px wide phone the page is ${widths.scroll} px wide`);

const p = now.page;
console.log(`status_page_test: OK: ${url}: ${now.rows} station rows, ${p.statusLoads} status loads, ` +
  `${p.recordsReceived} records, ${p.traceDraws} trace draws over ${now.canvases} traces; ` +
  `screenshots ${screenshot} and ${phoneShot}`);
process.exit(0);
