// The web panel in a real browser: Debian's chromium, headless, driven by
// playwright-core, against ombrix run by the simulator's launcher, over
// HTTPS with the unit's own certificate, which the browser trusts by its
// public key and nothing else does. The page loads, the login works, the
// screen shows the main screen, SET opens the menu, holding key 1 opens the
// memory table, a fault of the amplifier model shows in the error list and
// the event list, and the trend plots are drawn.
// A screenshot of the page is saved for the README (OMBRIX_SCREENSHOT,
// default web-panel.png in the working directory).
import { test } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { createHash, X509Certificate } from "node:crypto";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { createServer } from "node:net";
import { tmpdir } from "node:os";
import { gunzipSync } from "node:zlib";
import { join, resolve } from "node:path";
import { chromium } from "playwright-core";

const build = resolve(process.env.OMBRIX_BUILD_DIR || "build");
const screenshot = resolve(process.env.OMBRIX_SCREENSHOT || "web-panel.png");

function freePort() {
  return new Promise((ok, fail) => {
    const s = createServer();
    s.on("error", fail);
    s.listen(0, "127.0.0.1", () => {
      const { port } = s.address();
      s.close(() => ok(port));
    });
  });
}

// The launcher's output, with a wait for a line that matches.
class Launcher {
  constructor(root, port) {
    this.lines = [];
    this.waiters = [];
    // A cross build's launcher runs under the emulator the build names.
    const emulator = (process.env.OMBRIX_EMULATOR || "").split(" ").filter((w) => w !== "");
    const command = [...emulator, join(build, "sim", "ombrix-sim"),
      "--root", root, "--mode", "gen", "--web-port", String(port)];
    this.proc = spawn(command[0], command.slice(1), { stdio: ["pipe", "pipe", "pipe"] });
    let partial = "";
    const take = (chunk) => {
      partial += chunk.toString();
      let nl;
      while ((nl = partial.indexOf("\n")) >= 0) {
        this.lines.push(partial.slice(0, nl));
        partial = partial.slice(nl + 1);
      }
      for (const w of this.waiters.slice()) w();
    };
    this.proc.stdout.on("data", take);
    this.proc.stderr.on("data", take);
    this.exited = new Promise((ok) => this.proc.on("exit", (code) => ok(code)));
  }
  waitFor(re, ms) {
    return new Promise((ok, fail) => {
      const check = () => {
        const line = this.lines.find((l) => re.test(l));
        if (line === undefined) return false;
        this.waiters = this.waiters.filter((w) => w !== check);
        clearTimeout(timer);
        ok(line);
        return true;
      };
      const timer = setTimeout(() => {
        this.waiters = this.waiters.filter((w) => w !== check);
        fail(new Error("no line " + re + " within " + ms + " ms:\n" + this.lines.join("\n")));
      }, ms);
      if (!check()) this.waiters.push(check);
    });
  }
  send(line) { this.proc.stdin.write(line + "\n"); }
  async stop() {
    if (this.proc.exitCode === null) {
      this.proc.kill("SIGTERM");
      const t = setTimeout(() => this.proc.kill("SIGKILL"), 60000);
      await this.exited;
      clearTimeout(t);
    }
  }
}

test("the web panel in a browser", { timeout: 240000 }, async () => {
  const root = mkdtempSync(join(tmpdir(), "ombrix-browser-"));
  const port = await freePort();
  const sim = new Launcher(root, port);
  let browser;
  try {
    const line = await sim.waitFor(/\(pass phrase [^)]+\)/, 20000);
    const phrase = /\(pass phrase ([^)]+)\)/.exec(line)[1];
    await sim.waitFor(/Web panel on https:/, 20000);
    // The certificate the unit made at its first start: the fingerprint the
    // launcher shows is the one an owner compares with the browser's.
    const shown = await sim.waitFor(/presents the certificate with SHA-256 fingerprint/, 20000);
    const cert = new X509Certificate(readFileSync(join(root, "opt/set/web-cert.pem")));
    assert.equal(shown.split(" ").pop(), cert.fingerprint256);
    await sim.waitFor(/!!!mykivo/, 60000); // end of the program's start-up

    // Exactly this certificate is trusted, by the hash of its public key.
    const spki = createHash("sha256")
      .update(cert.publicKey.export({ type: "spki", format: "der" })).digest("base64");
    browser = await chromium.launch({
      executablePath: process.env.OMBRIX_CHROMIUM || "/usr/bin/chromium",
      args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--ignore-certificate-errors-spki-list=" + spki],
    });
    const context = await browser.newContext({ viewport: { width: 820, height: 760 } });
    const page = await context.newPage();
    const base = "https://127.0.0.1:" + port;
    const state = async () => page.evaluate(async () => (await fetch("/api/state")).json());
    const waitState = async (pred, what) => {
      const end = Date.now() + 15000;
      let s;
      while (Date.now() < end) {
        s = await state();
        if (pred(s)) return s;
        await page.waitForTimeout(100);
      }
      assert.fail(what + ": " + JSON.stringify(s));
    };

    // The page loads and asks for the pass phrase; a wrong one is refused.
    await page.goto(base + "/");
    await page.locator("#password").waitFor({ state: "visible" });
    await page.fill("#password", "not it");
    await page.click("#enter");
    await page.locator("#loginNote", { hasText: "wrong pass phrase" }).waitFor();
    // The refusal paused this address: the page tries again when told to.
    await page.fill("#password", phrase);
    await page.click("#enter");
    await page.locator("#panel").waitFor({ state: "visible" });
    assert.equal(await page.evaluate(() => window.isSecureContext), true);
    const cookies = await context.cookies();
    const session = cookies.find((c) => c.name === "ombrix_session");
    const device = cookies.find((c) => c.name === "ombrix_device");
    assert.ok(session && session.secure && session.httpOnly && session.sameSite === "Strict");
    assert.ok(device && device.secure && device.httpOnly && device.sameSite === "Strict");
    assert.ok(device.expires * 1000 > Date.now() + 364 * 24 * 3600 * 1000, "a year");

    // The screen shows frames of the main screen.
    await page.waitForFunction(() => {
      const img = document.getElementById("screen");
      return img.complete && img.naturalWidth === 800 && img.naturalHeight === 480 &&
        Number(img.dataset.frame) > 0;
    }, null, { timeout: 15000 });
    assert.equal((await state()).screenState, 0, "main screen");
    const firstFrame = Number(await page.getAttribute("#screen", "data-frame"));

    // SET (key 5) opens the menu on the device, and the page shows the change.
    await page.click("#key5");
    await waitState((s) => s.screenState === 1, "the menu opens");
    await page.waitForFunction((n) => Number(document.getElementById("screen").dataset.frame) > n,
      firstFrame, { timeout: 10000 });
    await page.click("#key1"); // back to the main screen
    await waitState((s) => s.screenState === 0, "back on the main screen");

    // Holding key 1 is its long press: the memory table.
    await page.hover("#key1");
    await page.mouse.down();
    await waitState((s) => s.screenState === 6, "the memory table opens");
    await page.mouse.up();
    await page.click("#key1");
    await waitState((s) => s.screenState === 0, "memory table closed");

    // Keyboard key 5 is the same key.
    await page.keyboard.press("5");
    await waitState((s) => s.screenState === 1, "the menu opens from the keyboard");
    await page.keyboard.press("1");
    await waitState((s) => s.screenState === 0, "main screen again");

    // A fault raised in the amplifier model reaches the page's error list.
    sim.send("controller amp fault 1");
    await page.locator("#errors li", { hasText: "15:" }).waitFor({ timeout: 15000 });
    const errors = await page.textContent("#errors");
    assert.match(errors, /I OUT/);
    // The screen too: its error row is drawn on a newer frame.
    const listedAt = Number(await page.getAttribute("#screen", "data-frame"));
    await page.waitForFunction((n) => Number(document.getElementById("screen").dataset.frame) > n,
      listedAt, { timeout: 10000 });
    // The event list, newest first, follows: the fault is on top of the login.
    await page.locator("#events li.error", { hasText: "code=15" }).waitFor({ timeout: 10000 });
    const kinds = await page.$$eval("#events li", (lis) => lis.map((li) => li.className));
    assert.ok(kinds.indexOf("error") < kinds.indexOf("login"), kinds.join(","));
    // The plots: the first temperature's line is on the canvas.
    await page.waitForFunction(() => Number(document.getElementById("trend").dataset.samples) > 1,
      null, { timeout: 15000 });
    const linePixels = await page.evaluate(() => {
      const c = document.getElementById("trend");
      const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
      let n = 0;
      for (let i = 0; i < d.length; i += 4)
        if (d[i + 3] > 200 && Math.abs(d[i] - 0xf6) + Math.abs(d[i + 1] - 0xae) +
            Math.abs(d[i + 2] - 0xa9) < 40) ++n;
      return n;
    });
    assert.ok(linePixels > 100, "temperature line pixels: " + linePixels);
    await page.screenshot({ path: screenshot, fullPage: true });
    sim.send("controller amp fault 0");

    // Backup: the button's download is the unit's archive, with its MANIFEST.
    assert.match(await page.textContent("#files"), /pass phrase and the unit's private key/);
    const [download] = await Promise.all([page.waitForEvent("download"), page.click("#backup")]);
    assert.match(download.suggestedFilename(), /^ombrix-.+-\d{8}-\d{4}\.tar\.gz$/);
    const tar = gunzipSync(readFileSync(await download.path()));
    assert.ok(tar.includes("MANIFEST") && tar.includes("antenna.txt"));
  } finally {
    if (browser) await browser.close();
    await sim.stop();
    rmSync(root, { recursive: true, force: true });
  }
});
