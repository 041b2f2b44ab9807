// The live device (orvane-sim serve) used as a person uses it, in headless Chromium (the system's,
// through playwright-core): unlock and dismiss the greeting, choose settings in the pane, tap the
// globe key in mode 1 and see the layout and the space bar change, long-press it in mode 2 and see
// the selected keyboards missing from the menu, set mode 3 and see it silent, fire a per-keyboard
// action, then save the session and replay it with orvane-sim run to the same trace. A screenshot
// of each step goes to OUTPUT.
//   node live_page.mjs ORVANE_SIM OUTPUT [--latency N]
import { chromium } from "playwright-core";
import { spawn, execFileSync } from "node:child_process";
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createInterface } from "node:readline";
import assert from "node:assert/strict";

const [sim, output, flag, count] = process.argv.slice(2);
mkdirSync(output, { recursive: true });
// The device in a folder of the test's own, so that the settings file's bytes can be compared.
const root = mkdtempSync(join(tmpdir(), "live-page-"));
const settingsFile = join(root, "device", "var/mobile/Library/Preferences/net.varnholt.orvane.plist");
const server = spawn(sim, ["serve", "--root", join(root, "device")], { stdio: ["ignore", "pipe", "inherit"] });
const address = await new Promise((resolve, reject) => {
  createInterface({ input: server.stdout }).once("line", resolve);
  server.once("exit", (code) => reject(new Error("orvane-sim serve ended: " + code)));
});
assert.match(address, /^http:\/\/127\.0\.0\.1:\d+\/#token=[0-9a-f]{32}$/);

const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args: ["--no-sandbox"] });
const context = await browser.newContext({ acceptDownloads: true, viewport: { width: 1280, height: 760 } });
const page = await context.newPage();
const errors = [];
page.on("pageerror", (e) => errors.push(String(e)));
page.on("console", (m) => { if (m.type() === "error") errors.push(m.text()); });
let shot = 0;
const screenshot = (name) => page.screenshot({ path: join(output, `${String(++shot).padStart(2, "0")}-${name}.png`) });
const layout = () => page.getAttribute("#keyboard", "data-layout");
const space = () => page.textContent("#space");
// Every action is one request; its answer redraws the page. Waits until the page has drawn it.
const drawn = async () => Number(await page.getAttribute("body", "data-drawn"));
// (A selector, not a function: the page's policy allows no evaluated script.)
const redrawnAfter = (n) => page.waitForSelector(`body:not([data-drawn="${n}"])`);
const press = async (selector) => { const n = await drawn(); await page.click(selector); await redrawnAfter(n); };
const tapGlobe = async () => {
  const n = await drawn();
  await page.dispatchEvent("#globe", "pointerdown");
  await page.dispatchEvent("#globe", "pointerup");
  await redrawnAfter(n);
};
const applySettings = async (mode, selected) => {
  await page.check("#enabled");
  await page.selectOption("#mode", String(mode));
  for (const box of await page.$$("#selected input")) {
    const want = selected.includes(await box.getAttribute("value"));
    if (want !== (await box.isChecked())) await box.click();
  }
  await press("#apply");
};

const token = new URLSearchParams(new URL(address).hash.slice(1)).get("token");
// The test's own requests, as another client's: a page of their own for the server's budget, and
// sent again after the delay the server names when they come too fast.
const asTheTest = { "X-Orvane-Token": token, "X-Orvane-Page": "the-test" };
const request = async (path, init = {}) => {
  for (;;) {
    const r = await fetch(new URL(path, address), { ...init, headers: { ...asTheTest, ...init.headers } });
    if (r.status !== 429) return r;
    await new Promise((done) => setTimeout(done, 1000 * (Number(r.headers.get("Retry-After")) || 1)));
  }
};
const apiView = async () => (await request("/api/view?since=0")).json();
const apiAct = async (line) => {
  const r = await request("/api/act", { method: "POST", body: line, headers: { "Content-Type": "text/plain" } });
  assert.equal((await r.json()).ok, true, line);
};
try {
  await page.goto(address);
  await page.waitForSelector("#space");
  // The token leaves the address bar at once; a reload finds it again (in the tab's own storage),
  // and no cookie ever holds it.
  assert.equal(new URL(page.url()).hash, "", "the token is out of the address bar");
  assert.deepEqual(await page.context().cookies(), [], "no cookie");
  await page.reload();
  await page.waitForSelector("#space");
  assert.equal(await page.isVisible("#lock"), true, "the reloaded page shows the device");
  // SpringBoard has started and not been unlocked: the lock screen.
  assert.equal(await page.isVisible("#lock"), true);
  await screenshot("lock-screen");
  await press("#unlock");
  assert.equal(await page.isVisible("#lock"), false);
  // The greeting, once, as a modal alert whose button must be pressed.
  await page.waitForSelector("#modal:not([hidden])");
  assert.match(await page.textContent("#alertmessage"), /Thanks for using Orvane/);
  await screenshot("greeting");
  await press("#alertbutton");
  assert.equal(await page.isVisible("#modal"), false);

  // A line another client sends shows on the page at once (the server's stream of events).
  await apiAct("say from elsewhere");
  await page.waitForSelector("#trace div:has-text('from elsewhere')", { timeout: 2000 });

  // No settings file: the pane shows what the extension reads (enabled, mode 1, the system's label),
  // each marked as the default, and Apply without a change writes nothing.
  assert.equal(existsSync(settingsFile), false);
  assert.equal(await page.isChecked("#enabled"), true);
  assert.equal(await page.inputValue("#mode"), "1");
  assert.equal(await page.inputValue("#icon"), "1");
  for (const k of ["enabled", "mode", "icon"]) assert.equal(await page.isVisible(`#${k}-default`), true, k);
  await page.click("#apply");
  assert.match(await page.textContent("#applied"), /Nothing changed/);
  assert.equal(existsSync(settingsFile), false, "Apply without a change wrote no file");

  // A key the pane does not know, and the others it does not change, survive an Apply.
  await apiAct('settings write {Custom: "keep me", icon: 2}');
  await page.reload();  // the page learns of a line sent elsewhere when it asks again
  await page.waitForSelector("#space");
  assert.equal(await page.inputValue("#icon"), "2");
  assert.equal(await page.isVisible("#icon-default"), false);
  const before = readFileSync(settingsFile);
  await page.selectOption("#mode", "2");
  await press("#apply");
  assert.match(await page.textContent("#applied"), /Wrote mode: Hide the selected from the menu\./);
  const written = readFileSync(settingsFile);
  assert.notDeepEqual(written, before);
  const settings = (await apiView()).state.settings;
  assert.deepEqual(settings, { Custom: "keep me", icon: 2, mode: 2 });
  await apiAct("settings delete");
  await page.reload();
  await page.waitForSelector("#space");

  // Mode 1 with emoji and Russian selected: each tap steps between the two, in the system's order.
  assert.equal(await layout(), "qwerty");
  await applySettings(1, ["emoji@sw=Emoji", "ru_RU"]);
  await tapGlobe();
  assert.equal(await layout(), "emoji");
  assert.equal(await space(), "emoji");
  await screenshot("mode-1-emoji");
  await tapGlobe();
  assert.equal(await layout(), "cyrillic");
  assert.equal(await space(), "Russian (RU)");
  await screenshot("mode-1-russian");
  // An answer redraws only what it changed: the keys that stay are the same elements, and the
  // trace's earlier lines are kept as they were.
  const globeBefore = await page.$("#globe");
  const lineBefore = await page.$("#trace .block > div >> nth=-1");
  await tapGlobe();
  assert.equal(await globeBefore.evaluate((g) => g === document.getElementById("globe")), true, "the globe key is kept");
  assert.equal(await lineBefore.evaluate((l) => l.isConnected), true, "the trace's lines are kept");
  assert.equal(await layout(), "emoji");
  await tapGlobe();
  assert.equal(await layout(), "cyrillic");
  // Every event links to what it changed: the input mode's line shows the keyboard, the settings
  // file's the settings pane.
  await page.click("#trace div[data-kind='input-mode'] >> nth=-1");
  assert.ok((await page.getAttribute("#keyboard", "class")).includes("flash"));
  await page.click("#trace div[data-kind='file-write'] >> nth=-1");
  assert.ok((await page.getAttribute("#settings", "class")).includes("flash"));

  // Mode 2: a long press opens the menu without the selected keyboards; the current is checked.
  await applySettings(2, ["fr_FR@sw=AZERTY", "de_DE"]);
  const beforeMenu = await drawn();
  await page.dispatchEvent("#globe", "pointerdown");
  await redrawnAfter(beforeMenu);
  await page.dispatchEvent("#globe", "pointerup");
  await page.waitForSelector("#menu:not([hidden])");
  const items = await page.$$eval("#menu div", (ds) => ds.map((d) => d.textContent));
  assert.ok(items.length > 0);
  assert.ok(!items.some((t) => t.includes("French") || t.includes("German")), items.join(" | "));
  assert.ok(items.includes("✓Russian (Russia)"), items.join(" | "));
  await screenshot("mode-2-menu");
  // Escape closes the menu; a choice in it switches to that keyboard (and is replayed below).
  await page.keyboard.press("Escape");
  assert.equal(await page.isVisible("#menu"), false);
  const reopened = await drawn();
  await page.dispatchEvent("#globe", "pointerdown");
  await redrawnAfter(reopened);
  await page.dispatchEvent("#globe", "pointerup");
  await page.waitForSelector("#menu:not([hidden])");
  await press("#menu .item:has-text('English')");
  assert.equal(await layout(), "qwerty");
  assert.equal(await page.isVisible("#menu"), false);

  // Mode 3: the globe key is silent.
  await applySettings(3, ["fr_FR@sw=AZERTY", "de_DE"]);
  await tapGlobe();
  assert.equal(await layout(), "qwerty");
  assert.equal(await space(), "English (US)");

  // A per-keyboard action, from Activator's listeners beside the phone, each shown by its title.
  assert.notEqual(await page.textContent("#listeners button[data-name='de_DE']"), "de_DE");
  // A listener Activator has no title for reads as its name's last part, never the raw name.
  assert.equal(await page.textContent("#listeners button[data-name='net.varnholt.orvane.change-mode']"), "Change mode");
  await press("#listeners button[data-name='de_DE']");
  assert.equal(await layout(), "qwertz");
  assert.equal(await space(), "German (DE)");
  await screenshot("per-keyboard-action");

  // Letters type into the field, from the phone's keys and from the computer's keyboard; the keys
  // the device has are tapped on it.
  await press("#keyboard .row button:text-is('q')");
  assert.equal(await page.textContent("#field"), "q");
  const typedBefore = (await apiView()).events.filter((e) => e.kind === "typed").length;
  await page.click("#field");
  await page.keyboard.type("wz x");
  await page.keyboard.press("Backspace");
  assert.equal(await page.textContent("#field"), "qwz ");
  for (let tries = 0; tries < 50 && (await apiView()).events.filter((e) => e.kind === "typed").length < typedBefore + 3; tries++) {
    await new Promise((done) => setTimeout(done, 50));
  }
  const typed = (await apiView()).events.filter((e) => e.kind === "typed").slice(typedBefore).map((e) => e.key);
  // (German keyboard: its z is the device's key at that place, y.)
  assert.deepEqual(typed, ["w", "y", "Space-Key"]);

  // Presses that overlap (each sent before the one before it is answered): every event of the
  // session shows once in the page's trace, as the server has it.
  for (let i = 0; i < 4; i++) {
    await page.dispatchEvent("#globe", "pointerdown");
    await page.dispatchEvent("#globe", "pointerup");
  }
  const serverEvents = async () => {
    const r = await fetch(new URL("/api/view?since=0", address), { headers: { "X-Orvane-Token": token } });
    return (await r.json()).events.length;
  };
  let shown = 0, held = 0;
  for (let tries = 0; tries < 50; tries++) {
    [shown, held] = [await page.locator("#trace .block > div").count(), await serverEvents()];
    if (shown === held) break;
    await new Promise((done) => setTimeout(done, 100));
  }
  assert.equal(shown, held, "the page's trace against the server's events");

  if (flag === "--latency") {
    // From a click on the globe key to the repainted keyboard, in the browser, over N taps; at the
    // session's present length, then again once it holds 5,000 events (the page's work per answer
    // must not grow with the session).
    await applySettings(1, ["emoji@sw=Emoji", "ru_RU"]);
    const measure = () => page.evaluate(async (n) => {
      const taps = [];
      performance.clearResourceTimings();
      // After the frame: a task posted from the frame's animation callback runs once it is painted.
      const afterPaint = (resolve) => {
        const channel = new MessageChannel();
        channel.port1.onmessage = () => resolve(performance.now());
        channel.port2.postMessage(0);
      };
      for (let i = 0; i < n; ++i) {
        // A person's taps are far apart: each starts once the page is idle, not within the frame
        // that draws the one before.
        await new Promise((resolve) => setTimeout(resolve, 20));
        const before = document.getElementById("space").textContent;
        const globe = document.getElementById("globe");
        const start = performance.now();
        // Done when the keyboard has been redrawn in the next layout: at the frame that shows it,
        // and once that frame is painted.
        const drawn = new Promise((resolve) => {
          const watch = new MutationObserver(() => {
            if (document.getElementById("space").textContent === before) return;
            watch.disconnect();
            const changed = performance.now();
            requestAnimationFrame(() => { const frame = performance.now(); afterPaint((painted) => resolve({ changed, frame, painted })); });
          });
          watch.observe(document.body, { attributes: true, attributeFilter: ["data-drawn"] });
        });
        globe.dispatchEvent(new PointerEvent("pointerdown"));
        globe.dispatchEvent(new PointerEvent("pointerup"));
        const { changed, frame, painted } = await drawn;
        const request = performance.getEntriesByType("resource").filter((r) => r.name.includes("/api/act")).pop();
        taps.push({ frame: frame - start, painted: painted - start, request: request.responseEnd - request.startTime,
                    page: changed - request.responseEnd });
      }
      return taps;
    }, Number(count || 200));
    const quantiles = (values) => {
      values.sort((a, b) => a - b);
      const at = (q) => values[Math.min(values.length - 1, Math.floor(q * values.length))].toFixed(1);
      return `p50 ${at(0.5)} ms, p99 ${at(0.99)} ms`;
    };
    const report = async () => {
      // The pointer rests on the globe key, where a person's is when they tap it.
      await page.hover("#globe");
      const held = (await apiView()).next;
      const taps = await measure();
      const of = (k) => quantiles(taps.map((t) => t[k]));
      console.log(`live page latency at ${held} events, over ${taps.length} globe taps: to the frame that shows it ` +
                  `${of("frame")}; to that frame painted ${of("painted")} (the request alone: ${of("request")}; ` +
                  `the page, from the answer's last byte to the keyboard redrawn: ${of("page")})`);
    };
    await report();
    while ((await apiView()).next < 5000) await apiAct(Array(32).fill("say pump").join("\n"));
    await tapGlobe();  // the page takes the new events in (once)
    await report();
  }

  // A screenshot of the phone: a PNG twice the phone's size.
  const [shotDownload] = await Promise.all([page.waitForEvent("download"), page.click("#shot")]);
  await shotDownload.saveAs(join(output, "phone.png"));
  const png = readFileSync(join(output, "phone.png"));
  assert.equal(png.subarray(1, 4).toString(), "PNG");
  const phoneBox = await page.locator("#phone").boundingBox();
  assert.equal(png.readUInt32BE(16), Math.round(phoneBox.width * 2));
  assert.ok(png.length > 5000, "the phone is drawn, not an empty image: " + png.length + " bytes");

  // Save as scenario: the download replays with orvane-sim run, passing, to the same trace.
  const [download] = await Promise.all([page.waitForEvent("download"), page.click("#save")]);
  const saved = join(output, "live-session.scn");
  await download.saveAs(saved);
  const script = readFileSync(saved, "utf8");
  assert.match(script, /expect input-mode com\.example\.notes de_DE/);
  assert.match(script, /expect switcher com\.example\.notes/);
  const live = await page.evaluate(async () => {
    const token = sessionStorage.getItem("orvane-token");
    return (await (await fetch("/api/view?since=0", { headers: { "X-Orvane-Token": token } })).json()).events;
  });
  const replayed = execFileSync(sim, ["run", "--trace", "json", saved], { encoding: "utf8", maxBuffer: 1 << 28 })
    .split("\n").filter(Boolean).map((l) => JSON.parse(l)).filter((e) => e.kind !== "file-result" && e.kind !== "summary");
  const essence = (events) => events.map(({ seq, file, line, ...rest }) => rest);
  // The server keeps the last 500 events: the replay's last as many are the session's.
  assert.ok(live.length === replayed.length || live.length === 500, `${live.length} kept of ${replayed.length}`);
  assert.deepEqual(essence(replayed.slice(-live.length)), essence(live));
  assert.deepEqual(errors, []);
  console.log(`live page: ${shot} screenshots in ${output}; the saved session replays to the same ${live.length} events`);
} catch (e) {
  // What the device did, for the failure's reader.
  const trace = await page.$$eval("#trace .block > div", (ds) => ds.slice(-25).map((d) => d.textContent)).catch(() => []);
  console.error(trace.join("\n"));
  await screenshot("failure").catch(() => {});
  throw e;
} finally {
  await browser.close();
  const ended = new Promise((done) => server.once("exit", done));
  server.kill("SIGINT");
  await ended;
  rmSync(root, { recursive: true, force: true });
}
