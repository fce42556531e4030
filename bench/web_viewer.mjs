// One browser-like viewer of the web panel for bench/web_panel_cpu.sh: logs
// in, then asks for a newer frame at most ten times a second over one kept
// connection, as the page does, and logs in again once a second on a new
// connection of its own (a full TLS handshake each time, the costly case),
// for the given seconds; prints the frames and logins it got. Over HTTPS it
// trusts the panel's certificate file and nothing else.
//   node bench/web_viewer.mjs PORT PASSPHRASE SECONDS [CERT.pem]
import http from "node:http";
import https from "node:https";
import { readFileSync } from "node:fs";

const [port, phrase, seconds, certFile] = process.argv.slice(2);
const tls = certFile !== undefined;
const net = tls ? https : http;
const ca = tls ? readFileSync(certFile) : undefined;
const base = (tls ? "https" : "http") + "://127.0.0.1:" + port;
const kept = new net.Agent({ keepAlive: true, maxSockets: 1, ca });

function ask(path, { method = "GET", headers = {}, body, agent = kept } = {}) {
  return new Promise((ok, fail) => {
    const r = net.request(base + path, { method, headers, agent, ca }, (res) => {
      const parts = [];
      res.on("data", (d) => parts.push(d));
      res.on("end", () => ok({ status: res.statusCode, headers: res.headers,
                               body: Buffer.concat(parts) }));
    });
    r.on("error", fail);
    if (body !== undefined) r.write(body);
    r.end();
  });
}

let device = "";
async function login() {
  const body = new URLSearchParams({ password: phrase }).toString();
  const headers = { Origin: base, "Content-Type": "application/x-www-form-urlencoded",
                    "Content-Length": Buffer.byteLength(body) };
  if (device) headers.Cookie = device;
  // A new agent: a new connection and a full handshake.
  const r = await ask("/api/login", { method: "POST", headers, body,
                                      agent: new net.Agent({ keepAlive: false, ca }) });
  if (r.status !== 204) throw new Error("login: " + r.status);
  const cookies = r.headers["set-cookie"].map((c) => c.split(";")[0]);
  device = cookies.find((c) => c.startsWith("ombrix_device=")) || device;
  return cookies.find((c) => c.startsWith("ombrix_session="));
}

const session = await login();
const end = Date.now() + Number(seconds) * 1000;
let logins = 0;
const loginLoop = (async () => {
  while (Date.now() < end) {
    await new Promise((ok) => setTimeout(ok, 1000));
    await login();
    logins++;
  }
})();
let frame = 0, frames = 0, bytes = 0;
while (Date.now() < end) {
  const started = Date.now();
  const r = await ask("/api/screen.jpg?after=" + frame, { headers: { Cookie: session } });
  const n = Number(r.headers["x-frame"]);
  if (n !== frame) { frames++; bytes += r.body.byteLength; frame = n; }
  const left = 100 - (Date.now() - started);
  if (left > 0) await new Promise((ok) => setTimeout(ok, left));
}
await loginLoop;
kept.destroy();
console.log(`viewer: ${(frames / seconds).toFixed(1)} new frames/s, ` +
  `${(bytes / Math.max(frames, 1) / 1024).toFixed(0)} KiB a frame, ${logins} logins`);
