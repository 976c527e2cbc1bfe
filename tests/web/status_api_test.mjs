// Checks a program's status answers while it works: /status.json against its
// schema, twice, with the numbers that must move moving and every name
// staying; /metrics scraped as Prometheus text (every sample of a declared
// family, counters named *_total, the same names at each scrape, the values
// agreeing with the JSON); and anything but GET of these paths refused.
//
// Usage: node status_api_test.mjs BASE_URL livemill|veltview
// Exit status: 0 passed, 1 failed (the reason on standard error).
import assert from 'node:assert/strict';

const [base, program] = process.argv.slice(2);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

const iso = /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/;
const T = {
  string: (v) => typeof v === 'string',
  int: (v) => Number.isInteger(v),
  time: (v) => typeof v === 'string' && iso.test(v),
  timeOrNull: (v) => v === null || (typeof v === 'string' && iso.test(v)),
  intOrNull: (v) => v === null || Number.isInteger(v),
  strings: (v) => Array.isArray(v) && v.every((s) => typeof s === 'string'),
};
const outputSchema = { kind: (v) => ['qrx', 'int4', 'mseed'].includes(v), files: T.int, bytes: T.int };
const inputSchema = {
  input: T.int, station: T.string, seedlink_station: T.string, channels: T.strings,
  state: (v) => ['converting', 'waiting', 'starting'].includes(v),
  device: T.int, configuration: T.int, restart: T.int, block: T.int,
  last_block_time: T.timeOrNull, lag_seconds: T.intOrNull, input_file: T.int, offset: T.int,
  filelist_rows_waiting: T.int,
  outputs: (v) => Array.isArray(v) && v.every((o) => check(o, outputSchema, 'output')),
};
const schemas = {
  livemill: {
    program: (v) => v === 'livemill', version: T.string, now: T.time, started: T.time,
    seedlink: (v) => check(v, { clients: T.int, websocket: (w) => w === '/seedlink' }, 'seedlink'),
    inputs: (v) => Array.isArray(v) && v.length > 0 && v.every((i) => check(i, inputSchema, 'input')),
  },
  veltview: {
    program: (v) => v === 'veltview', version: T.string, now: T.time, started: T.time,
    link: (v) => check(v, { state: T.string, text: T.string, reconnects: T.int }, 'link'),
    recorder: (v) => check(v, {
      station: T.string, channels: T.strings, sample_rate: T.int, time_locked: (v) => typeof v === 'boolean',
      last_block_time: T.timeOrNull,
      lag_seconds: T.intOrNull, checksum_errors: T.int, time_status: T.string, latitude: T.string,
      longitude: T.string, altitude: T.string, serial_number: T.string, configuration_number: T.string,
      restart_counter: T.string, sensor_0: T.string,
    }, 'recorder', true),
    writers: (v) => check(v.realtime, { state: T.string, file: T.string, bytes: T.int }, 'realtime') &&
      check(v.archive, { state: T.string }, 'archive'),
  },
};

// Every key of the schema is there with its type; no key beyond it unless `open`.
function check(value, schema, where, open = false) {
  assert.equal(typeof value, 'object', `${where} is not an object`);
  for (const [key, ok] of Object.entries(schema))
    assert.ok(key in value && ok(value[key]), `${where}.${key} missing or of the wrong type: ${JSON.stringify(value[key])}`);
  if (!open)
    for (const key of Object.keys(value)) assert.ok(key in schema, `${where}.${key} is not in the schema`);
  return true;
}

async function get(path, method = 'GET') {
  const r = await fetch(base + path, { method });
  return { status: r.status, type: r.headers.get('content-type'), text: await r.text() };
}

function parseMetrics(text) {
  const types = new Map();
  const samples = [];
  for (const line of text.split('\n')) {
    if (line === '' || line.startsWith('# HELP ')) continue;
    const type = /^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (gauge|counter)$/.exec(line);
    if (type) {
      types.set(type[1], type[2]);
      continue;
    }
    const m = /^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\]|\\.)*",?)*\})? (-?[0-9.e+]+|NaN)$/.exec(line);
    assert.ok(m, `not a metrics line: ${line}`);
    assert.ok(types.has(m[1]), `${m[1]} has no TYPE line before it`);
    const labels = Object.fromEntries([...(m[2] ?? '').matchAll(/([a-zA-Z_]+)="((?:[^"\\]|\\.)*)"/g)].map((x) => [x[1], x[2]]));
    samples.push({ name: m[1], labels, value: Number(m[3]) });
  }
  for (const [name, type] of types) assert.equal(type === 'counter', name.endsWith('_total'), `${name} is a ${type}`);
  return { names: [...types.keys()].sort(), samples };
}

const value = (metrics, name, labels = {}) => metrics.samples.find(
  (s) => s.name === name && Object.entries(labels).every(([k, v]) => s.labels[k] === v))?.value;

// The numbers that must move while the program works.
function progress(status) {
  if (program === 'livemill')
    return status.inputs.reduce((sum, i) => sum + i.block + i.outputs.reduce((b, o) => b + o.bytes, 0), 0);
  return Date.parse(status.recorder.last_block_time ?? '1970-01-01T00:00:00Z');
}

try {
  const first = await get('/status.json');
  assert.equal(first.status, 200);
  assert.match(first.type, /^application\/json/);
  const a = JSON.parse(first.text);
  check(a, schemas[program], program);
  const m1 = parseMetrics((await get('/metrics')).text);
  await sleep(3000);
  const b = JSON.parse((await get('/status.json')).text);
  check(b, schemas[program], program);
  const m2 = parseMetrics((await get('/metrics')).text);
  assert.ok(progress(b) > progress(a), `nothing moved in 3 s: ${first.text} then ${JSON.stringify(b)}`);
  assert.deepEqual(m2.names, m1.names, 'the metric names changed between scrapes');
  // The scrape agrees with the JSON taken just before it (values that stand still here).
  if (program === 'livemill') {
    const i = b.inputs[0];
    const labels = { input: '0', station: i.station };
    assert.equal(value(m2, 'velt_livemill_input_restart_number', labels), i.restart);
    assert.ok(value(m2, 'velt_livemill_output_bytes_total', { ...labels, output: 'mseed' }) >=
      i.outputs.find((o) => o.kind === 'mseed').bytes, 'the byte counter went back');
  } else {
    const labels = { station: b.recorder.station };
    assert.equal(value(m2, 'velt_veltview_link_connected', labels), b.link.state === 'connected' ? 1 : 0);
    assert.equal(value(m2, 'velt_veltview_sample_rate_hertz', labels), b.recorder.sample_rate);
  }
  assert.equal((await get('/status.json', 'POST')).status, 405);
  assert.equal((await get('/metrics', 'DELETE')).status, 405);
  assert.equal((await get('/no-such-page')).status, 404);
  console.log(`${program}: /status.json and /metrics as they should be`);
} catch (e) {
  console.error(`FAIL ${program}: ${e.message}`);
  process.exit(1);
}
