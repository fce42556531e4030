// One browser-like viewer of the web panel for bench/web_panel_cpu.sh: logs
// in, then asks for a newer frame at most ten times a second, as the page
// does, for the given seconds; prints the frames it got.
//   node bench/web_viewer.mjs PORT PASSPHRASE SECONDS
const [port, phrase, seconds] = process.argv.slice(2);
const base = "http://127.0.0.1:" + port;
const origin = { Origin: base };
const login = await fetch(base + "/api/login", {
  method: "POST", headers: origin, body: new URLSearchParams({ password: phrase }),
});
if (login.status !== 204) throw new Error("login: " + login.status);
const cookie = login.headers.get("set-cookie").split(";")[0];
const end = Date.now() + Number(seconds) * 1000;
let frame = 0, frames = 0, bytes = 0;
while (Date.now() < end) {
  const started = Date.now();
  const r = await fetch(base + "/api/screen.jpg?after=" + frame, { headers: { Cookie: cookie } });
  const body = await r.arrayBuffer();
  const n = Number(r.headers.get("x-frame"));
  if (n !== frame) { frames++; bytes += body.byteLength; frame = n; }
  const left = 100 - (Date.now() - started);
  if (left > 0) await new Promise((ok) => setTimeout(ok, left));
}
console.log(`viewer: ${(frames / seconds).toFixed(1)} new frames/s, ` +
  `${(bytes / Math.max(frames, 1) / 1024).toFixed(0)} KiB a frame`);
