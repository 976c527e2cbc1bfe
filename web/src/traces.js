// Live traces: the last minutes of every channel of a station, one
// seismograph per channel, fed either by SeedLink over a WebSocket
// (livemill's miniSEED records) or by the samples the monitor received
// (veltview's /samples.json).
import {
  AMPLITUDE_MODE, DateTime, Duration, FDSNSourceId, Interval, SeedlinkConnection, Seismogram,
  SeismogramDisplayData, SeismogramSegment, Seismograph, SeismographConfig, createSeismogramSegment,
} from "./seisplot.js";

export const kTraceWindow = Duration.fromObject({ minutes: 5 });
const kRedrawMs = 2000; // drawing costs far more than taking data: at most every 2 s
const kSamplesPollMs = 1000;
const kMaxReconnectPauseMs = 30_000;

// What the page has done, for whoever watches it (the browser test).
export const counters = { statusLoads: 0, recordsReceived: 0, traceDraws: 0, lastError: "" };

const panels = [];

function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

/// One station's traces: a heading, a line saying where the data stand, and
/// a seismograph per channel over the same window ending at the newest sample.
export class TracePanel {
  constructor(parent, title) {
    this.box = element("section", "traces");
    const head = element("div", "traces-head");
    head.append(element("h2", "", title));
    this.note = element("span", "note");
    head.append(this.note);
    this.box.append(head);
    this.plots = element("div", "plots");
    this.box.append(this.plots);
    parent.append(this.box);
    this.channels = new Map(); // code -> { segments, graph, config }
    this.dirty = false;
    panels.push(this);
  }

  setNote(text) {
    this.note.textContent = text;
  }

  /// Forgets every channel and makes empty ones for `codes` in that order.
  reset(codes) {
    this.channels.clear();
    this.plots.replaceChildren();
    for (const code of codes) this.channel(code);
  }

  channel(code) {
    let ch = this.channels.get(code);
    if (ch) return ch;
    const config = new SeismographConfig();
    config.title = code;
    config.xLabel = "";
    config.yLabel = "";
    config.ySublabelIsUnits = false;
    config.amplitudeMode = AMPLITUDE_MODE.Mean; // recorders' counts sit far from zero
    config.margin = { top: 18, right: 10, bottom: 22, left: 62 };
    config.fixedTimeScale = Interval.before(DateTime.utc(), kTraceWindow);
    config.doMarkers = false;
    config.allowZoom = false;
    config.yAxisNumTickHint = 4; // a short plot: more numbers would run into each other
    const graph = new Seismograph([], config);
    graph.addStyle("svg.seismograph text.title { font-size: 13px; font-weight: 600; fill: #3a424d; }");
    graph.onRedraw = () => ++counters.traceDraws;
    this.plots.append(graph);
    ch = { segments: [], graph, config };
    this.channels.set(code, ch);
    return ch;
  }

  /// Appends a piece of one channel; a piece not after what the channel holds
  /// (sent again after a reconnect) is left out.
  add(code, segment) {
    const ch = this.channel(code);
    const last = ch.segments.at(-1);
    if (last && segment.startTime < last.endTime) return;
    ch.segments.push(segment);
    this.dirty = true;
  }

  /// The end of the data of the channel that is furthest behind, so that a
  /// reconnect asks for nothing any channel lacks.
  resumeTime() {
    let time = null;
    for (const { segments } of this.channels.values()) {
      const end = segments.at(-1)?.endTime;
      if (end && (!time || end < time)) time = end;
    }
    return time;
  }

  draw() {
    if (!this.dirty) return;
    this.dirty = false;
    let end = null;
    for (const { segments } of this.channels.values()) {
      const e = segments.at(-1)?.endTime;
      if (e && (!end || e > end)) end = e;
    }
    if (!end) return;
    const span = Interval.before(end, kTraceWindow);
    for (const ch of this.channels.values()) {
      while (ch.segments.length > 0 && ch.segments[0].endTime < span.start) ch.segments.shift();
      ch.config.fixedTimeScale = span;
      ch.graph.seisData =
        ch.segments.length > 0 ? [SeismogramDisplayData.fromSeismogram(new Seismogram(ch.segments))] : [];
      // The graph redraws by itself only when the amplitude range changed;
      // the window moved in any case.
      ch.graph.redraw();
    }
  }
}

// A page nobody sees (a tab behind others, a phone's locked screen) keeps
// its data but draws nothing until it is looked at again.
setInterval(() => {
  if (document.hidden) return;
  for (const p of panels) p.draw();
}, kRedrawMs);

function utcText(time) {
  return time.toUTC().toFormat("yyyy-LL-dd HH:mm:ss");
}

/// A SeedLink 4.0 connection to the page's own server for one station, all
/// its channels, from `start` (a few minutes back, so the traces fill at
/// once) and then live; reconnects with a growing pause when it closes.
export class SeedlinkFeed {
  constructor(panel, stationId, start) {
    this.panel = panel;
    this.stationId = stationId;
    this.start = start;
    this.pauseMs = 1000;
    this.connect();
  }

  connect() {
    const url = `${location.protocol === "https:" ? "wss:" : "ws:"}//${location.host}/seedlink`;
    const from = this.panel.resumeTime() ?? this.start;
    const commands = [`STATION ${this.stationId}`, from ? `DATA -1 ${from.toUTC().toISO()}` : "DATA"];
    this.panel.setNote("connecting to SeedLink…");
    let records = 0;
    const conn = new SeedlinkConnection(
      url,
      commands,
      (packet) => {
        if (!packet.isMiniseed()) return;
        const record = packet.asMiniseed();
        if (!record || record.header.numSamples === 0 || record.header.sampleRate <= 0) return;
        ++counters.recordsReceived;
        if (++records === 1) this.pauseMs = 1000;
        const { locCode, chanCode, endTime } = record.header;
        this.panel.add(locCode ? `${locCode}.${chanCode}` : chanCode, createSeismogramSegment(record));
        this.panel.setNote(`SeedLink live · last record ends ${utcText(endTime)}`);
      },
      (error) => {
        counters.lastError = `SeedLink ${this.stationId}: ${error.message}`;
      },
    );
    conn.setOnClose(() => {
      const seconds = Math.round(this.pauseMs / 1000);
      this.panel.setNote(`SeedLink connection closed; trying again in ${seconds} s`);
      setTimeout(() => this.connect(), this.pauseMs);
      this.pauseMs = Math.min(this.pauseMs * 2, kMaxReconnectPauseMs);
    });
    conn.connect();
  }
}

/// Polls veltview's recent samples and appends each answer's rows as one
/// piece per channel. Rows follow one another evenly, so all are placed from
/// one row whose time is known; before the recorder's time is known, by this
/// browser's clock.
export class SamplesFeed {
  constructor(panel) {
    this.panel = panel;
    this.after = 0;
    this.layout = "";
    this.anchor = null; // { row, time, known }: the time of one row number
    this.poll();
  }

  async poll() {
    let answer = null;
    try {
      const reply = await fetch(`/samples.json?after=${this.after}`, { cache: "no-store" });
      if (!reply.ok) throw new Error(`HTTP ${reply.status}`);
      answer = await reply.json();
    } catch (e) {
      counters.lastError = `/samples.json: ${e.message}`;
      this.panel.setNote(`no samples: ${e.message}`);
    }
    setTimeout(() => this.poll(), kSamplesPollMs);
    if (answer) this.take(answer);
  }

  rowTime(row, rate) {
    return this.anchor.time.plus({ milliseconds: ((row - this.anchor.row) * 1000) / rate });
  }

  take(s) {
    if (!(s.rate > 0) || s.channels.length === 0) return;
    const layout = `${s.rate} ${s.channels.join(",")}`;
    const time = s.start_time ? DateTime.fromISO(s.start_time, { zone: "utc" }) : null;
    // Anew after another rate, other channels or a jump of the recorder's
    // time: nothing drawn before fits the new rows.
    const jumped = time && this.anchor?.known && Math.abs(time.diff(this.rowTime(s.first, s.rate)).toMillis()) > 1000;
    if (layout !== this.layout || jumped) {
      this.layout = layout;
      this.anchor = null;
      this.panel.reset(s.channels);
    }
    if (time && !this.anchor?.known) this.anchor = { row: s.first, time, known: true };
    this.anchor ??= { row: s.next, time: DateTime.utc(), known: false };
    this.after = s.next;
    if (s.rows.length === 0) return;
    ++counters.recordsReceived;
    const start = this.rowTime(s.first, s.rate);
    const id = FDSNSourceId.createUnknown(s.rate);
    s.channels.forEach((code, c) => {
      const y = Int32Array.from(s.rows, (row) => row[c]);
      this.panel.add(code, new SeismogramSegment(y, s.rate, start, id));
    });
    this.panel.setNote(`${s.rate} samples/s · newest ${utcText(this.rowTime(s.next, s.rate))}`);
  }
}
