// The status page: polls /status.json four times a second (under a kilobyte
// each), keeps the last five minutes of the mirror rate itself, and marks
// lost data and dropped samples where their counters rose. Says so at once
// when the mirror stops, the card stops delivering, the source ends or the
// figures stop coming.
"use strict";
const kPollMs = 250;
const kKeepS = 300;
const kNotDeliveringS = 2;
const times = [], rates = [], lostMarks = [], dropMarks = [];
let last = null, lastSamplesChange = 0, lastAnswer = 0;

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

const chart = typeof uPlot === "undefined" ? null : new uPlot({
  width: 900, height: 300, title: "mirror rate (rev/s)", plugins: [markPlugin()],
  // The time axis: from the first point kept to now, at least ten seconds.
  scales: { x: { time: true, range: (u, min, max) => [Math.min(min, max - 10), max] },
            y: { range: (u, min, max) => [0, Math.max(25, max * 1.1)] } },
  series: [{}, { label: "rev/s", stroke: "#06c", spanGaps: false }],
}, [times, rates], document.getElementById("chart"));

function setState(state, text) {
  const el = document.getElementById("state");
  el.dataset.state = state;
  el.textContent = text;
}

function show(s, now) {
  const t = now / 1000;
  if (last !== null) {
    if (s.lost_data_events > last.lost_data_events) lostMarks.push(t);
    if (s.samples_dropped > last.samples_dropped) dropMarks.push(t);
  }
  if (last === null || s.samples !== last.samples) lastSamplesChange = now;
  last = s;
  times.push(t);
  rates.push(s.mirror_rate_hz);
  while (times.length && times[0] < t - kKeepS) { times.shift(); rates.shift(); }
  while (lostMarks.length && lostMarks[0] < t - kKeepS) lostMarks.shift();
  while (dropMarks.length && dropMarks[0] < t - kKeepS) dropMarks.shift();
  if (chart) chart.setData([times, rates]);
  document.getElementById("rate").textContent =
      s.mirror_rate_hz === null ? "-" : s.mirror_rate_hz.toFixed(2);
  document.getElementById("samples").textContent = s.samples;
  document.getElementById("lost").textContent = s.lost_data_events;
  document.getElementById("dropped").textContent = s.samples_dropped;
  document.getElementById("interval").textContent =
      s.fetch_interval_s === null ? "-" : (s.fetch_interval_s * 1000).toFixed(1);
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
  else setState("running", "running: mirror at " +
                (s.mirror_rate_hz === null ? "-" : s.mirror_rate_hz.toFixed(1)) + " rev/s");
}

let lastCpu = null;
async function poll() {
  const now = Date.now();
  try {
    const answer = await fetch("status.json", { cache: "no-store" });
    if (answer.ok) {
      const s = await answer.json();
      lastAnswer = now;
      if (lastCpu !== null && now > lastCpu.at)
        document.getElementById("cpu").textContent =
            (100 * (s.server_cpu_s - lastCpu.s) / ((now - lastCpu.at) / 1000)).toFixed(1);
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
poll();
