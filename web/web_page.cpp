// The web panel's page: HTML, style and script in one text, so it works
// without anything from outside the amplifier.
extern const char kWebPanelPage[];

const char kWebPanelPage[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>OMBRIX front panel</title>
<style>
  body { margin: 0; background: #202124; color: #e8eaed; font: 15px/1.4 sans-serif; }
  main { max-width: 800px; margin: 0 auto; padding: 8px; }
  #login { display: none; margin-top: 20vh; text-align: center; }
  #login input, #login button { font-size: 18px; padding: 6px 10px; margin: 4px; }
  #panel { display: none; }
  #screen { display: block; width: 100%; height: auto; aspect-ratio: 800 / 480;
            background: #000; }
  #keys { display: flex; gap: 6px; margin-top: 8px; }
  #keys button { flex: 1; height: 56px; font-size: 20px; border-radius: 6px;
                 border: 1px solid #5f6368; background: #3c4043; color: #e8eaed;
                 touch-action: none; user-select: none; -webkit-user-select: none; }
  #keys button.held { background: #8ab4f8; color: #202124; }
  #state { margin-top: 8px; font-family: monospace; white-space: pre-wrap; }
  #errors { margin: 6px 0; padding-left: 20px; color: #f28b82; }
  #bar { display: flex; justify-content: space-between; align-items: center; margin-top: 6px; }
  #note { color: #fdd663; min-height: 1.4em; }
  #files { margin-top: 12px; padding-top: 8px; border-top: 1px solid #5f6368; }
  #files a, #files button { color: #8ab4f8; margin-right: 12px; }
  #filesNote { color: #fdd663; }
</style>
</head>
<body>
<main>
  <form id="login">
    <div>OMBRIX front panel</div>
    <input id="password" type="password" autocomplete="current-password"
           placeholder="pass phrase" aria-label="pass phrase">
    <button id="enter" type="submit">Enter</button>
    <div id="loginNote"></div>
  </form>
  <div id="panel">
    <img id="screen" alt="amplifier screen" width="800" height="480">
    <div id="keys"></div>
    <div id="state"></div>
    <ul id="errors"></ul>
    <div id="bar"><span id="note"></span><button id="logout" type="button">Log out</button></div>
    <div id="files">
      <a id="backup" href="/api/backup" download>Back up settings and tune memories</a>
      <button id="restore" type="button">Restore from a backup...</button>
      <input id="restoreFile" type="file" accept=".tar.gz,.gz" hidden>
      <div>The backup holds the pass phrase and the unit's private key: keep it as safe as the unit.</div>
      <div id="filesNote"></div>
    </div>
  </div>
</main>
<script>
"use strict";
const $ = (id) => document.getElementById(id);
const screenImg = $("screen");
let loggedIn = false;
let frame = 0;
let screenLoop = 0;   // generation of the running frame loop
let stateTimer = 0;

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function show(panel) {
  loggedIn = panel;
  $("login").style.display = panel ? "none" : "block";
  $("panel").style.display = panel ? "block" : "none";
  if (panel) start(); else stop();
}

function post(path, fields) {
  return fetch(path, { method: "POST", body: new URLSearchParams(fields),
                       credentials: "same-origin" });
}

// About ten frames a second while the page is visible, none while hidden:
// each request waits on the amplifier for a frame newer than the last one.
async function frames(generation) {
  while (loggedIn && !document.hidden && generation === screenLoop) {
    const started = performance.now();
    try {
      const r = await fetch("/api/screen.jpg?after=" + frame, { cache: "no-store" });
      if (r.status === 401) { show(false); return; }
      if (r.ok) {
        const n = Number(r.headers.get("X-Frame"));
        const blob = await r.blob();
        if (n !== frame || !screenImg.src) {
          frame = n;
          const old = screenImg.src;
          screenImg.src = URL.createObjectURL(blob);
          if (old) URL.revokeObjectURL(old);
          screenImg.dataset.frame = String(n);
        }
      } else {
        await sleep(1000);
      }
    } catch (e) {
      await sleep(1000);
    }
    const left = 100 - (performance.now() - started);
    if (left > 0) await sleep(left);
  }
}

async function state() {
  if (!loggedIn || document.hidden) return;
  try {
    const r = await fetch("/api/state", { cache: "no-store" });
    if (r.status === 401) { show(false); return; }
    if (!r.ok) return;
    const s = await r.json();
    const f = (v, d) => (v === null || v === undefined ? "-" : Number(v).toFixed(d));
    $("state").textContent =
      (s.frequency / 1000).toFixed(1) + " kHz  " + (s.band || "-") + "  ANT " + s.antenna +
      "  bank " + s.bank + "  " + (s.mode || "-") + "  " + (s.operate ? "OPERATE" : "BYPASS") +
      "\nFWD " + f(s.forward, 1) + " W  REF " + f(s.reflected, 1) + " W  SWR " + f(s.swr, 2) +
      "  T " + f(s.temperatures.amplifier1, 1) + "/" + f(s.temperatures.amplifier2, 1) +
      " C  CPU " + f(s.temperatures.cpu, 1) + " C  relays " + s.relayWord;
    const list = $("errors");
    list.textContent = "";
    for (const e of s.errors) {
      const li = document.createElement("li");
      li.textContent = e.code + ": " + e.line1 + " " + e.line2;
      list.appendChild(li);
    }
  } catch (e) { /* the next poll tries again */ }
}

function start() {
  if (document.hidden || !loggedIn) return;
  const generation = ++screenLoop;
  frames(generation);
  if (!stateTimer) { state(); stateTimer = setInterval(state, 500); }
}

function stop() {
  ++screenLoop;
  if (stateTimer) { clearInterval(stateTimer); stateTimer = 0; }
  releaseAll();
}

// Keys: a press goes down when the finger or mouse goes down and up when it
// lets go, so the amplifier times short and long presses and auto-repeat
// exactly as for its own keys. Requests keep their order.
let keyChain = Promise.resolve();
const held = new Set();
function sendKey(key, press) {
  keyChain = keyChain.then(() => post("/api/key", { key: String(key), press: press }))
    .then((r) => {
      if (r.status === 401) show(false);
      else if (r.status === 503) $("note").textContent = "front panel not running";
      else if (r.ok) $("note").textContent = "";
    })
    .catch(() => { $("note").textContent = "no answer from the amplifier"; });
}
function keyDown(key) {
  if (held.has(key)) return;
  held.add(key);
  $("key" + key).classList.add("held");
  sendKey(key, "down");
}
function keyUp(key) {
  if (!held.has(key)) return;
  held.delete(key);
  $("key" + key).classList.remove("held");
  sendKey(key, "up");
}
function releaseAll() { for (const k of Array.from(held)) keyUp(k); }

for (let k = 1; k <= 6; ++k) {
  const b = document.createElement("button");
  b.id = "key" + k;
  b.type = "button";
  b.textContent = String(k);
  b.setAttribute("aria-label", "key " + k);
  b.addEventListener("pointerdown", (e) => { b.setPointerCapture(e.pointerId); keyDown(k); });
  b.addEventListener("pointerup", () => keyUp(k));
  b.addEventListener("pointercancel", () => keyUp(k));
  b.addEventListener("contextmenu", (e) => e.preventDefault());
  // Enter or space on a focused key: a short press.
  b.addEventListener("click", (e) => { if (e.detail === 0) sendKey(k, "short"); });
  $("keys").appendChild(b);
}
document.addEventListener("keydown", (e) => {
  if (!loggedIn || e.repeat || e.target.tagName === "INPUT") return;
  if (e.key >= "1" && e.key <= "6") { keyDown(Number(e.key)); e.preventDefault(); }
});
document.addEventListener("keyup", (e) => {
  if (e.key >= "1" && e.key <= "6") keyUp(Number(e.key));
});
window.addEventListener("blur", releaseAll);
document.addEventListener("visibilitychange", () => {
  if (document.hidden) stop(); else start();
});

$("login").addEventListener("submit", async (e) => {
  e.preventDefault();
  $("loginNote").textContent = "";
  $("enter").disabled = true;
  const password = $("password").value;
  try {
    // 429: the unit did not compare it (guessing pauses): the same attempt
    // again once it may, as the answer says.
    for (let tries = 0; ; tries++) {
      const r = await post("/api/login", { password });
      if (r.status === 204) { $("password").value = ""; $("loginNote").textContent = ""; show(true); break; }
      if (r.status !== 429 || tries >= 20) {
        $("loginNote").textContent = r.status === 403 ? "wrong pass phrase"
          : r.status === 429 ? "too many attempts: try again later" : "refused (" + r.status + ")";
        break;
      }
      const wait = Math.min(Math.max(Number(r.headers.get("Retry-After")) || 1, 1), 120);
      $("loginNote").textContent = "too many attempts: trying again in " + wait + " s";
      await sleep(wait * 1000);
    }
  } catch (err) {
    $("loginNote").textContent = "no answer from the amplifier";
  }
  $("enter").disabled = false;
});
$("logout").addEventListener("click", async () => {
  try { await post("/api/logout", {}); } catch (e) { /* the session ends anyway */ }
  show(false);
});

// Backup and restore. A restore replaces the files and the program starts
// again with them; the page logs in afresh afterwards.
$("restore").addEventListener("click", () => $("restoreFile").click());
$("restoreFile").addEventListener("change", async () => {
  const file = $("restoreFile").files[0];
  $("restoreFile").value = "";
  if (!file) return;
  if (!confirm("Replace the unit's settings and tune memories with " + file.name +
               "? The program starts again.")) return;
  if (file.size > 16 * 1024 * 1024) {
    $("filesNote").textContent = "refused: the archive is larger than 16 MiB (nothing changed)";
    return;
  }
  $("filesNote").textContent = "restoring...";
  try {
    const r = await fetch("/api/restore", { method: "POST", body: file, credentials: "same-origin",
                                            headers: { "Content-Type": "application/gzip" } });
    if (r.status === 204) {
      $("filesNote").textContent = "restored: the program starts again";
      setTimeout(() => show(false), 2000);
    } else if (r.status === 400 || r.status === 413) {
      const p = await r.json();
      $("filesNote").textContent = "refused: " + (p.file || "archive") +
        (p.line ? " line " + p.line : "") + ": " + p.error + " (nothing changed)";
    } else if (r.status === 401) {
      show(false);
    } else {
      $("filesNote").textContent = "refused (" + r.status + ")";
    }
  } catch (e) {
    $("filesNote").textContent = "no answer from the amplifier";
  }
});

// A session may still be open: the state tells.
fetch("/api/state", { cache: "no-store" })
  .then((r) => show(r.ok))
  .catch(() => show(false));
</script>
</body>
</html>
)PAGE";
