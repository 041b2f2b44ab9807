// The visual report of a long run, in headless Chromium: a scenario of TAPS globe taps in mode 1
// (each a tap and a turn of the main queue), its report's size, the time to open it (until the
// device is drawn) and the time of a click on a line (until the next frame after the redraw).
// The figures are printed, not judged: times on a shared machine are not a test. What is judged is
// what the page shows: at the clicked lines and at the last one, the keyboard the JSON trace and
// the final state say the application was on.
//   node report_scale.mjs ORVANE_SIM TAPS
import { chromium } from "playwright-core";
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, statSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import assert from "node:assert/strict";

const [sim, tapsArgument] = process.argv.slice(2);
const taps = Number.parseInt(tapsArgument || "20000", 10);
const folder = mkdtempSync(join(tmpdir(), "orvane-report-scale-"));
const scenario = join(folder, `taps_${taps}.scn`);
const head = "keyboards en_US fr_FR emoji@sw=Emoji de_DE ru_RU\n" +
             "settings write {mode: 1, icon: 1, SelectedKeyboards: [en_US, emoji@sw=Emoji, ru_RU]}\n" +
             "start com.example.app\nshow-keyboard com.example.app\n";
writeFileSync(scenario, head + "tap com.example.app globe\nrun\n".repeat(taps));
const lineCount = 4 + 2 * taps;

const report = join(folder, "report.html");
const state = join(folder, "state.json");
let started = performance.now();
execFileSync(sim, ["run", "-q", "--report", report, "--state-json", state, scenario], { stdio: "pipe" });
const writeSeconds = (performance.now() - started) / 1000;
// The oracle: the input modes the JSON trace gives, by line, and the final state.
const modes = execFileSync(sim, ["run", "-t", "json", "--only=input-mode", scenario], { maxBuffer: 1 << 30 })
                  .toString().trim().split("\n").map(l => JSON.parse(l)).filter(e => e.kind === "input-mode");
const modeAfter = line => modes.filter(e => e.line <= line).at(-1).identifier;
const finalMode = JSON.parse(readFileSync(state)).processes.find(p => p.name === "com.example.app").inputMode;
assert.equal(modeAfter(lineCount), finalMode);

const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args: ["--no-sandbox"] });
try {
  const page = await browser.newPage();
  const errors = [];
  page.on("pageerror", e => errors.push(String(e)));
  const shownMode = () => page.$eval('#device [data-process="com.example.app"] .mode', n => n.textContent);
  const nextFrame = () => page.evaluate(() => new Promise(r => requestAnimationFrame(() => setTimeout(r, 0))));

  started = performance.now();
  await page.goto(`file://${report}#f=0&l=${lineCount}`);
  await page.waitForSelector('#device [data-process="com.example.app"]');
  await nextFrame();
  const openSeconds = (performance.now() - started) / 1000;
  assert.equal(await page.$$eval("#timeline li", lis => lis.length), lineCount);
  assert.equal(await shownMode(), `on ${finalMode}`);

  // Clicks down the timeline and back, each timed in the page from the click to the frame after.
  const clicks = [];
  for (const line of [Math.floor(lineCount / 2), lineCount - 1, 7, Math.floor(lineCount / 3), lineCount]) {
    const ms = await page.evaluate(l => new Promise(resolve => {
      const li = document.querySelector(`#timeline li[data-line="${l}"]`);
      const t0 = performance.now();
      li.click();
      requestAnimationFrame(() => setTimeout(() => resolve(performance.now() - t0), 0));
    }), line);
    clicks.push(ms);
    assert.equal(await page.$eval("#timeline li.selected", li => Number(li.dataset.line)), line);
    assert.equal(await shownMode(), `on ${modeAfter(line)}`, `the keyboard after line ${line}`);
  }
  assert.deepEqual(errors, []);
  const size = statSync(report).size;
  console.log(`report of ${taps} taps: ${(size / 1e6).toFixed(2)} MB (${Math.round(size / taps)} bytes a tap), ` +
              `written in ${writeSeconds.toFixed(2)} s, opened in ${openSeconds.toFixed(2)} s, ` +
              `click ${clicks.map(c => c.toFixed(0)).join(" / ")} ms (max ${Math.max(...clicks).toFixed(0)})`);
} finally {
  await browser.close();
  rmSync(folder, { recursive: true, force: true });
}
