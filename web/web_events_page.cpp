// The page's record of the station: the event list (newest first, following
// new ones) and the trend plots, drawn on a canvas of their own. Apart from
// the panel's page, and put into it where it is served.
#include <string>

#include "web/web_events.h"

namespace {

const char kRecordSection[] = R"PAGE(
  <section id="record" style="display: none">
    <style>
      #record h2 { font-size: 16px; margin: 14px 0 4px; display: flex; gap: 10px; align-items: center; }
      #record a { color: #8ab4f8; font-size: 14px; font-weight: normal; }
      #record select { background: #3c4043; color: #e8eaed; border: 1px solid #5f6368; }
      #trend { display: block; width: 100%; height: 330px; background: #17181a; }
      #events { list-style: none; margin: 0; padding: 0; font-family: monospace; font-size: 13px;
                max-height: 260px; overflow-y: auto; }
      #events li { padding: 2px 4px; border-bottom: 1px solid #303134; white-space: pre-wrap; }
      #events li.error { color: #f28b82; }
      #events li.clear { color: #81c995; }
    </style>
    <h2>Trends
      <select id="trendSpan" aria-label="time span">
        <option value="600">10 min</option><option value="3600" selected>1 hour</option>
        <option value="86400">24 hours</option>
      </select></h2>
    <canvas id="trend" aria-label="trend plots"></canvas>
    <h2>Events <a href="/api/events.csv" download>all as CSV</a></h2>
    <ul id="events"></ul>
  </section>
)PAGE";

const char kRecordScript[] = R"PAGE(<script>
"use strict";
// The station's record: polls while the panel shows, like the state.
(() => {
  const el = (id) => document.getElementById(id);
  const shown = () => typeof loggedIn !== "undefined" && loggedIn && !document.hidden;
  const kMaxShown = 200;
  let lastEvent = 0;

  const pad = (n) => String(n).padStart(2, "0");
  const localTime = (ms, seconds) => {
    const d = new Date(ms);
    return pad(d.getHours()) + ":" + pad(d.getMinutes()) + (seconds ? ":" + pad(d.getSeconds()) : "");
  };
  const detail = (e) => Object.keys(e).filter((k) => k !== "id" && k !== "time" && k !== "kind")
    .map((k) => k + "=" + e[k]).join(" ");

  async function events() {
    if (!shown()) return;
    try {
      const r = await fetch("/api/events?after=" + lastEvent, { cache: "no-store" });
      if (!r.ok) return;
      const list = el("events");
      for (const e of await r.json()) {
        if (e.id <= lastEvent) continue;
        lastEvent = e.id;
        const li = document.createElement("li");
        li.className = e.kind;
        li.dataset.id = String(e.id);
        const d = new Date(e.time);
        li.textContent = d.toLocaleDateString() + " " + localTime(d.getTime(), true) + "  " +
          e.kind.padEnd(8) + detail(e);
        list.insertBefore(li, list.firstChild);
      }
      while (list.children.length > kMaxShown) list.removeChild(list.lastChild);
    } catch (e) { /* the next poll tries again */ }
  }

  // Three plots, one above the other: power, SWR, temperatures and fan.
  const kPlots = [
    { title: "W", series: [["forward", "#8ab4f8"], ["reflected", "#f28b82"]], min: 0 },
    { title: "SWR", series: [["swr", "#fdd663"]], min: 1 },
    { title: "\u00b0C / fan %", series: [["temp1", "#f6aea9"], ["temp2", "#fcad70"], ["fan", "#81c995"]], min: 0 },
  ];
  function draw(h) {
    const canvas = el("trend");
    const ratio = window.devicePixelRatio || 1;
    const w = canvas.clientWidth, hgt = canvas.clientHeight;
    if (w === 0) return;
    canvas.width = Math.round(w * ratio);
    canvas.height = Math.round(hgt * ratio);
    const g = canvas.getContext("2d");
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.clearRect(0, 0, w, hgt);
    g.font = "11px sans-serif";
    const n = h.forward.length;
    const left = 44, right = 8, top = 6, bottom = 18, gap = 10;
    const ph = (hgt - top - bottom - gap * (kPlots.length - 1)) / kPlots.length;
    const endMs = h.end ? Date.parse(h.end) : Date.now();
    const stepMs = h.interval * 1000;
    const spanMs = Math.max(n - 1, 1) * stepMs;
    const x = (i) => left + (n <= 1 ? w - left - right : (i / (n - 1)) * (w - left - right));
    kPlots.forEach((p, k) => {
      const y0 = top + k * (ph + gap);
      let max = p.min + 1;
      for (const [name] of p.series) for (const v of h[name]) if (v > max) max = v;
      max = p.min + (max - p.min) * 1.1;
      // No reading (an SWR of 0 at rest) lies on the plot's floor.
      const y = (v) => y0 + ph - ((Math.max(v, p.min) - p.min) / (max - p.min)) * ph;
      g.strokeStyle = "#3c4043";
      g.strokeRect(left, y0, w - left - right, ph);
      g.fillStyle = "#9aa0a6";
      g.textAlign = "right";
      g.fillText(max.toFixed(max < 10 ? 1 : 0), left - 4, y0 + 10);
      g.fillText(String(p.min), left - 4, y0 + ph);
      g.textAlign = "left";
      g.fillText(p.title, left + 4, y0 + 12);
      for (const [name, color] of p.series) {
        const v = h[name];
        if (v.length === 0) continue;
        g.strokeStyle = color;
        g.lineWidth = 1.5;
        g.beginPath();
        v.forEach((val, i) => (i === 0 ? g.moveTo(x(i), y(val)) : g.lineTo(x(i), y(val))));
        if (v.length === 1) g.lineTo(x(0) - 2, y(v[0]));
        g.stroke();
      }
    });
    // The time axis in the browser's own time.
    g.fillStyle = "#9aa0a6";
    g.textAlign = "center";
    const ticks = 5;
    for (let t = 0; t <= ticks; ++t) {
      const ms = endMs - spanMs + (spanMs * t) / ticks;
      const px = left + ((w - left - right) * t) / ticks;
      g.fillText(localTime(ms, spanMs < 600000), Math.min(Math.max(px, left + 20), w - 24), hgt - 4);
    }
    canvas.dataset.samples = String(n);
  }

  async function trends() {
    if (!shown()) return;
    try {
      const r = await fetch("/api/history?seconds=" + el("trendSpan").value, { cache: "no-store" });
      if (r.ok) draw(await r.json());
    } catch (e) { /* the next poll tries again */ }
  }

  el("trendSpan").addEventListener("change", trends);
  setInterval(events, 2000);
  setInterval(trends, 5000);
  // At once when the panel comes up (after a login, or a session still open).
  new MutationObserver(() => {
    el("record").style.display = el("panel").style.display;
    if (shown()) { events(); trends(); }
  })
    .observe(el("panel"), { attributes: true, attributeFilter: ["style"] });
  document.addEventListener("visibilitychange", () => { events(); trends(); });
})();
</script>
)PAGE";

}  // namespace

std::string PageWithRecord(const char *page) {
  std::string s = page;
  size_t at = s.rfind("</main>");
  if (at != std::string::npos) s.insert(at, kRecordSection);
  at = s.rfind("</body>");
  if (at != std::string::npos) s.insert(at, kRecordScript);
  return s;
}
