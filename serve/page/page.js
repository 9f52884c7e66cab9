// The status page: polls /status.json four times a second, asking only for
// the revolutions and events it has not had yet (the server keeps the last
// minutes of both, so a page opened later sees them too), and the latest
// revolution (/revolution.json, a few hundred points) every two seconds.
// Says so at once when the mirror stops, the card stops delivering, the
// source ends or the figures stop coming.
"use strict";
const kPollMs = 250;
const kRevolutionMs = 2000;
const kKeepS = 300;
const kNotDeliveringS = 2;
// Revolutions cut by the run or without an index mark have no rate to draw.
const kNoRate = 0x4 | 0x8 | 0x10;
const times = [], rates = [], lostMarks = [], dropMarks = [];
let last = null, lastSamplesChange = 0, lastAnswer = 0;
let ratesNext = 0, eventsNext = 0, offset = null;

function markPlugin() {
  return { hooks: { draw: [u => {
    const ctx = u.ctx;
    for (const [marks, colour] of [[lostMarks, "#d00"], [dropMarks, "#f80"]]) {
      ctx.fillStyle = colour;
      for (const t of marks) {
        const x = u.valToPos(t, "x", true);
        if (x >= u.bbox.left && x <= u.bbox.left + u.bbox.width)
          ctx.fillRect(x - 1, u.bbox.top, 3, u.bbox.height);
      }
    }
  }] } };
}

const plotting = typeof uPlot !== "undefined";
const chart = !plotting ? null : new uPlot({
  width: 900, height: 260, title: "mirror rate per revolution (rev/s)", plugins: [markPlugin()],
  // The time axis: from the first point kept to now, at least ten seconds.
  scales: { x: { time: true, range: (u, min, max) => [Math.min(min, max - 10), max] },
            y: { range: (u, min, max) => [0, Math.max(25, max * 1.1)] } },
  series: [{}, { label: "rev/s", stroke: "#06c", spanGaps: false }],
}, [times, rates], document.getElementById("chart"));

const angleChart = !plotting ? null : new uPlot({
  width: 440, height: 300, title: "latest revolution: angle (rad) against time (ms)",
  scales: { x: { time: false } },
  series: [{ label: "ms" }, { label: "rad", stroke: "#06c" }],
}, [[], []], document.getElementById("angle"));

// The scan line: each sample's range at its angle, as x and y, on equal
// scales out to the farthest range.
let reach = 1;
const profileChart = !plotting ? null : new uPlot({
  mode: 2, width: 340, height: 300, title: "latest revolution: range against angle",
  legend: { show: false },
  scales: { x: { time: false, range: () => [-reach, reach] },
            y: { range: () => [-reach, reach] } },
  series: [{}, { stroke: "#06c", points: { show: false } }],
}, [null, [[], []]], document.getElementById("profile"));

function setState(state, text) {
  const el = document.getElementById("state");
  el.dataset.state = state;
  el.textContent = text;
}

function text(id, value) {
  document.getElementById(id).textContent = value;
}

function fixed(value, digits) {
  return value === null || value === undefined ? "-" : value.toFixed(digits);
}

function showClock(c) {
  const el = document.getElementById("clock");
  el.dataset.state = c.state;
  if (c.state === "locked" || c.state === "settling") {
    el.textContent = `${c.state}: drift ${c.drift_ppm.toFixed(1)} ppm, residual median ` +
        `${(c.residual_median_s * 1e6).toFixed(0)} µs, p99 ` +
        `${(c.residual_p99_s * 1e6).toFixed(0)} µs, ${c.rate_hz.toFixed(1)} samples/s` +
        (c.lock_after_s !== null ? `, locked after ${c.lock_after_s.toFixed(1)} s` : "");
  } else if (c.state === "nominal") {
    el.textContent = "nominal: a capture without fetch times, timed by its sample period";
  } else {
    el.textContent = "no block yet";
  }
}

function showEvents(fresh) {
  const list = document.getElementById("events");
  for (const [t, kind, samples] of fresh) {
    const x = t + offset;
    (kind === "lost" ? lostMarks : dropMarks).push(x);
    const item = document.createElement("li");
    item.dataset.kind = kind;
    item.dataset.t = t;
    item.textContent = `${new Date(x * 1000).toLocaleTimeString()}: ` +
        (kind === "lost" ? `the card lost data (${samples} samples)` :
                           `${samples} samples dropped`);
    list.prepend(item);
    while (list.children.length > 50) list.lastChild.remove();
  }
}

// The source and its settings (its capture header): set once at the start,
// drawn once.
let sourceShown = false;
function showSource(src) {
  if (sourceShown || !src) return;
  sourceShown = true;
  const h = src.header;
  const esc = v => String(v).replace(/[&<>"]/g, c => "&#" + c.charCodeAt(0) + ";");
  const rows = [
    ["source", src.kind + (src.raw ? ", raw records" : "") + (src.fields ? ", field map" : "")],
    ["sensor", h.sensor_model], ["sample period", h.sample_period_us + " \u00b5s"],
    ["samples per fetch", h.buf_size], ["largest block", src.max_block_samples],
    ["range up to", h.max_range_in + " in"], ["calibration", h.calibration_value],
    ["calibration file", h.cal_file || "-"],
    ["motor 1: encoder, power", h.motor1_encoder_ppr + " ppr, " + h.motor1_power],
    ["motor 2: encoder, power", h.motor2_encoder_ppr + " ppr, " + h.motor2_power],
    ["serial port, card", "COM" + h.com_port + ", card " + h.card_number],
    ["header version", h.version]];
  if (src.kind === "capture") rows.push(["samples in the file", h.num_samples]);
  document.getElementById("source").innerHTML =
      rows.map(([k, v]) => `<tr><th>${esc(k)}</th><td>${esc(v)}</td></tr>`).join("");
}

function show(s, now) {
  showSource(s.source);
  const t = now / 1000;
  // Server times on the page's clock, fixed at the first answer (the
  // points keep their places), set again when the two drift apart.
  if (offset === null || Math.abs(t - s.now_s - offset) > 1) offset = t - s.now_s;
  if (last === null || s.samples !== last.samples) lastSamplesChange = now;
  last = s;
  for (const [pt, rate, flags] of s.rates) {
    times.push(pt + offset);
    rates.push((flags & kNoRate) !== 0 ? null : rate);
  }
  ratesNext = s.rates_next;
  showEvents(s.events);
  eventsNext = s.events_next;
  while (times.length && times[0] < t - kKeepS) { times.shift(); rates.shift(); }
  while (lostMarks.length && lostMarks[0] < t - kKeepS) lostMarks.shift();
  while (dropMarks.length && dropMarks[0] < t - kKeepS) dropMarks.shift();
  if (chart) chart.setData([times, rates]);
  text("rate", fixed(s.mirror_rate_hz, 2));
  text("revrate", fixed(s.revolution_rate_hz, 2));
  text("complete", s.revolutions_complete);
  text("incomplete", s.revolutions_incomplete);
  text("samples", s.samples);
  text("lost", s.lost_data_events);
  text("dropped", s.samples_dropped);
  text("interval", s.fetch_interval_s === null ? "-" : (s.fetch_interval_s * 1000).toFixed(1));
  showClock(s.clock);
  const rows = ["<tr><th>reader</th><th>peer</th><th>streaming</th><th>blocks sent</th>" +
                "<th>samples lost</th></tr>"];
  for (const r of s.readers) {
    const peer = String(r.peer).replace(/[&<>"]/g, c => "&#" + c.charCodeAt(0) + ";");
    rows.push(`<tr><td>${r.reader}</td><td>${peer}</td><td>${r.streaming ? "yes" : "no"}</td>` +
              `<td>${r.blocks_sent}</td><td>${r.samples_lost}</td></tr>`);
  }
  document.getElementById("readers").innerHTML = rows.join("");
  if (s.source_ended) setState("ended", "SOURCE ENDED: no more samples");
  else if (!s.sampling) setState("waiting", "waiting for the source's first samples");
  else if (s.mirror_stopped) setState("stopped", "MIRROR STOPPED: no index mark for over a second");
  else if (now - lastSamplesChange > kNotDeliveringS * 1000)
    setState("not-delivering", "THE CARD STOPPED DELIVERING: no samples for " +
             kNotDeliveringS + " s");
  else setState("running", "running: mirror at " + fixed(s.mirror_rate_hz, 1) + " rev/s");
}

function showRevolution(r) {
  const note = document.getElementById("profile-note");
  if (!r.known) {
    note.textContent = "no revolution yet";
    return;
  }
  const ms = r.points.map(p => p[0]);
  if (angleChart) angleChart.setData([ms, r.points.map(p => p[1])]);
  note.dataset.points = r.points.length;
  note.dataset.range = r.range_unit !== null;
  document.getElementById("profile").style.display = r.range_unit === null ? "none" : "";
  if (r.range_unit === null) {
    // Without a field map the driver's bytes mean nothing here: no guess.
    note.textContent = "no field map names a range: the scan line is not drawn " +
        "(scanmon-serve --fields FILE, or a capture's BASE.fields)";
    return;
  }
  const xs = [], ys = [];
  let most = 0;
  for (const [, angle, range] of r.points) {
    if (range === null) continue;
    xs.push(range * Math.cos(angle));
    ys.push(range * Math.sin(angle));
    most = Math.max(most, Math.abs(range));
  }
  reach = most > 0 ? most * 1.05 : 1;
  note.textContent = `revolution ${r.number}: ${r.count} samples, ${xs.length} drawn; ` +
      `range in ${r.range_unit}, up to ${most.toFixed(1)}`;
  if (profileChart) profileChart.setData([null, [xs, ys]]);
}

let lastCpu = null;
async function poll() {
  const now = Date.now();
  try {
    const answer = await fetch(`status.json?rates=${ratesNext}&events=${eventsNext}`,
                               { cache: "no-store" });
    if (answer.ok) {
      const s = await answer.json();
      lastAnswer = now;
      if (lastCpu !== null && now > lastCpu.at)
        text("cpu", (100 * (s.server_cpu_s - lastCpu.s) / ((now - lastCpu.at) / 1000)).toFixed(1));
      lastCpu = { s: s.server_cpu_s, at: now };
      show(s, now);
    }
  } catch (e) {
    // Counted as silence below.
  }
  if (now - lastAnswer > 2000)
    setState("stale", "NO FIGURES FROM THE SERVER for over 2 s (stopped, or the network)");
  setTimeout(poll, kPollMs);
}

async function pollRevolution() {
  try {
    const answer = await fetch("revolution.json", { cache: "no-store" });
    if (answer.ok) showRevolution(await answer.json());
  } catch (e) {
    // The status poll says when the server is silent.
  }
  setTimeout(pollRevolution, kRevolutionMs);
}
poll();
pollRevolution();
