// The SeedLink server as a web page sees it: seisplotjs's SeedLink 4 and 3.1
// connections over WebSocket, each asked for every record of one miniSEED
// store (4.0: DATA ALL; 3.1: TIME from before its first record), must get
// the records of the store's numbered files, byte for byte, in order, with
// consecutive sequence numbers.
//
// Usage: node tests/web/seedlink_browser_test.mjs ws://HOST:PORT/seedlink STORE_DIR
// Exit status: 0 all equal, 1 a difference or a failed connection, 2 bad
// arguments. Needs web/node_modules (npm ci in web/).
import { createRequire } from "node:module";
import { readdirSync, readFileSync } from "node:fs";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const kTimeoutMs = 60_000;
const kV3SequenceModulus = 1 << 24;

const [url, storeDir] = process.argv.slice(2);
if (!url || !storeDir) {
  console.error("usage: node seedlink_browser_test.mjs ws://HOST:PORT/seedlink STORE_DIR");
  process.exit(2);
}

const webDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../../web");
const require = createRequire(path.join(webDir, "package.json"));
// Node 20 has no global WebSocket; a browser has one.
globalThis.WebSocket ??= require("ws").WebSocket;
// seisplotjs's Node entry still defines one custom element as it loads.
globalThis.HTMLDivElement ??= class {};
globalThis.customElements ??= { define() {}, get() {} };
const sp = await import(pathToFileURL(require.resolve("seisplotjs")).href);

function fail(message) {
  console.error(`seedlink_browser_test: FAIL: ${message}`);
  process.exit(1);
}

// The bytes of one record that seisplotjs parsed (its data view lies in the packet).
function recordBytes(record) {
  const h = record.header;
  return Buffer.from(record.data.buffer, record.data.byteOffset - h.dataOffset, h.recordSize);
}

function describe(record) {
  const h = record.header;
  return `${h.netCode}_${h.staCode}_${h.locCode}_${h.chanCode} ${h.startTime.toISO()}`;
}

// The store's numbered files ("%08X"), oldest first.
function storeRecords(dir) {
  const names = readdirSync(dir).filter((n) => /^[0-9A-F]{8}$/.test(n)).sort();
  const records = [];
  for (const name of names) {
    const bytes = readFileSync(path.join(dir, name));
    const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
    records.push(...sp.miniseed.parseDataRecords(buffer));
  }
  return records;
}

// Runs one connection until `count` records came, then closes it.
function collect(label, makeConnection, count) {
  return new Promise((resolve, reject) => {
    const got = [];
    let conn = null;
    let settled = false;
    const finish = (error) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      conn?.close();
      // A refused connection comes as an event without a message.
      const why = error?.message && error.message !== "{}" ? error.message : `WebSocket error at ${url}`;
      if (error) reject(new Error(`${label}: ${why}`));
      else resolve(got);
    };
    const timer = setTimeout(
      () => finish(new Error(`${got.length} of ${count} records within ${kTimeoutMs / 1000} s`)),
      kTimeoutMs,
    );
    conn = makeConnection(
      (sequence, record) => {
        got.push({ sequence, record });
        if (got.length === count) finish();
      },
      (error) => finish(error),
    );
    conn.setOnClose((event) => {
      if (got.length < count) finish(new Error(`closed (code ${event.code}) after ${got.length} of ${count} records`));
    });
    conn.connect();
  });
}

function check(label, got, expected, subprotocol, negotiated, modulus) {
  if (negotiated !== subprotocol) fail(`${label}: WebSocket subprotocol "${negotiated}", not "${subprotocol}"`);
  for (let i = 0; i < expected.length; ++i) {
    const { sequence, record } = got[i];
    if (i > 0 && sequence !== (got[i - 1].sequence + 1n) % modulus)
      fail(`${label}: packet ${i} has sequence number ${sequence} after ${got[i - 1].sequence}`);
    const a = recordBytes(record), b = recordBytes(expected[i]);
    if (!a.equals(b)) {
      let at = 0;
      while (at < a.length && at < b.length && a[at] === b[at]) ++at;
      fail(`${label}: record ${i} (sequence ${sequence}, ${describe(record)}) differs from the store's ` +
        `(${describe(expected[i])}) at byte ${at}`);
    }
  }
}

const started = Date.now();
const expected = storeRecords(storeDir);
if (expected.length === 0) fail(`no records in the numbered files of ${storeDir}`);
const stations = new Set(expected.map((r) => `${r.header.netCode}_${r.header.staCode}`));
if (stations.size !== 1) fail(`the store holds ${stations.size} stations (${[...stations].join(" ")}), not one`);
const { netCode, staCode } = expected[0].header;
let first = expected[0].header.startTime;
for (const r of expected) if (r.header.startTime < first) first = r.header.startTime;
const windowStart = first.toUTC().startOf("second");

let negotiated4 = "";
const v4 = await collect(
  "SeedLink 4.0",
  (onRecord, onError) => {
    const conn = new sp.seedlink4.SeedlinkConnection(
      url,
      [`STATION ${netCode}_${staCode}`, "DATA ALL"],
      (packet) => {
        negotiated4 = conn.webSocket?.protocol ?? negotiated4;
        if (!packet.isMiniseed()) return onError(new Error(`packet format ${packet.dataFormat}${packet.dataSubformat}`));
        if (packet.stationId !== `${netCode}_${staCode}`) return onError(new Error(`station "${packet.stationId}"`));
        onRecord(packet.sequence, packet.asMiniseed());
      },
      onError,
    );
    return conn;
  },
  expected.length,
).catch((e) => fail(e.message));
check("SeedLink 4.0", v4, expected, "SeedLink4.0", negotiated4, 1n << 64n);

let negotiated3 = "";
const v3 = await collect(
  "SeedLink 3.1",
  (onRecord, onError) => {
    const conn = new sp.seedlink.SeedlinkConnection(
      url,
      [`STATION ${staCode} ${netCode}`],
      (packet) => {
        negotiated3 = conn.webSocket?.protocol ?? negotiated3;
        onRecord(BigInt(packet.sequence), packet.miniseed);
      },
      onError,
    );
    conn.setTimeCommand(windowStart);
    return conn;
  },
  expected.length,
).catch((e) => fail(e.message));
check("SeedLink 3.1", v3, expected, "SeedLink3.1", negotiated3, BigInt(kV3SequenceModulus));

console.log(
  `seedlink_browser_test: OK: ${expected.length} records of ${netCode}_${staCode} over SeedLink 4.0 (DATA ALL) ` +
    `and 3.1 (TIME ${windowStart.toFormat("yyyy,LL,dd,HH,mm,ss")}), byte-equal to the store, in ${Date.now() - started} ms`,
);
process.exit(0);
