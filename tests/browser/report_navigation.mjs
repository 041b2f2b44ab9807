// The visual report as people navigate it, in headless Chromium (the system's, through
// playwright-core): Back and Forward, the keys (arrows, Home, End, PageUp/PageDown, n and p for
// the failures, / for the search box), the search box, "changes only" in both panes, every field
// of an event, and fragments that name nothing.
//   node report_navigation.mjs ORVANE_SIM SCENARIO_FOLDER
import { chromium } from "playwright-core";
import { execFileSync } from "node:child_process";
import { mkdtempSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import assert from "node:assert/strict";

const [sim, scenarios] = process.argv.slice(2);
const folder = mkdtempSync(join(tmpdir(), "orvane-report-"));
// Two files, each with a failing expectation, one of them long enough to page through.
const write = (name, text) => { writeFileSync(join(folder, name), text); return join(folder, name); };
const first = write("a_first_scenario_with_a_long_name.scn",
  "# first\nkeyboards en_US fr_FR\nstart com.example.app\nexpect input-mode com.example.app fr_FR\n" +
  Array.from({ length: 30 }, (_, i) => `say line ${i}\n`).join("") + "expect input-mode com.example.app de_DE\n");
const second = write("b.scn", "keyboards en_US\nstart springboard\nexpect input-mode springboard fr_FR\n");
const report = join(folder, "report.html");
try {
  execFileSync(sim, ["run", "-q", "--report", report, first, second, join(scenarios, "label_styles.scn")], { stdio: "pipe" });
} catch (e) { /* the failures are the point: exit status 1 */ }

const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args: ["--no-sandbox"] });
const page = await browser.newPage();
const errors = [];
page.on("pageerror", e => errors.push(String(e)));
const selected = async () => page.evaluate(() => {
  const li = document.querySelector("#timeline li.selected");
  return { file: document.querySelector("#timeline h3").textContent.replace(/.*\//, ""), line: Number(li && li.dataset.line) };
});
const hash = () => page.evaluate(() => location.hash);
// Opens the report at a fragment and waits until the page has drawn the line it names.
const open = async (fragment, file, line) => {
  await page.goto("about:blank");
  await page.goto("file://" + report + fragment);
  await page.waitForFunction(([f, l]) => {
    const li = document.querySelector("#timeline li.selected");
    return li && Number(li.dataset.line) === l && document.querySelector("#timeline h3").textContent.endsWith(f);
  }, [file, line]);
};
const key = async k => { await page.keyboard.press(k); };

// Opened without a fragment: the first failure.
await page.goto("file://" + report);
assert.deepEqual(await selected(), { file: "a_first_scenario_with_a_long_name.scn", line: 4 });

// n and p walk the failures across files; End, Home, PageDown, arrows move within the file.
await key("n");
assert.deepEqual(await selected(), { file: "a_first_scenario_with_a_long_name.scn", line: 35 });
await key("n");
assert.deepEqual(await selected(), { file: "b.scn", line: 3 });
await key("p");
assert.equal((await selected()).line, 35);
await key("Home");
assert.equal((await selected()).line, 1);
await key("PageDown");
assert.equal((await selected()).line, 11);
await key("ArrowDown");
assert.equal((await selected()).line, 12);
await key("End");
assert.equal((await selected()).line, 35);

// Back and Forward retrace the steps; each step is in the address.
assert.equal(await hash(), "#f=0&l=35");
await page.goBack();
await page.waitForFunction(() => location.hash === "#f=0&l=12");
assert.equal((await selected()).line, 12);
await page.goBack();
assert.equal((await selected()).line, 11);
await page.goForward();
assert.equal((await selected()).line, 12);

// A fragment typed by hand is read at once; one that names nothing falls back, never breaks.
await page.evaluate(() => { location.hash = "#f=1&l=2"; });
await page.waitForFunction(() => document.querySelector("#timeline h3").textContent.endsWith("b.scn"));
assert.deepEqual(await selected(), { file: "b.scn", line: 2 });
for (const [bad, file, line] of [["#l=abc", "a_first_scenario_with_a_long_name.scn", 4],
                                  ["#f=abc&l=xyz", "a_first_scenario_with_a_long_name.scn", 4],
                                  ["#f=99&l=-5", "label_styles.scn", 1],
                                  ["#f=0&l=99999", "a_first_scenario_with_a_long_name.scn", 35]]) {
  await open(bad, file, line);
}
assert.deepEqual(errors, []);

// The search box: "/" focuses it, typing keeps the matching lines, Enter goes to the next.
await open("#f=0&l=1", "a_first_scenario_with_a_long_name.scn", 1);
await key("/");
await page.keyboard.type("line 2");
const shown = await page.$$eval("#timeline li:not(.hidden)", lis => lis.map(li => Number(li.dataset.line)));
assert.deepEqual(shown, [7, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34]);  // "say line 2", "say line 20" ... "29"
await key("Enter");
assert.equal((await selected()).line, 7);

// Every field of an event is shown; "changes only" hides lines and events that change nothing.
await open("#f=2&l=6", "label_styles.scn", 6);
const changes = await page.textContent("#changes");
assert.match(changes, /Other events/);
assert.match(changes, /hook .*class=UIKeyboardLayoutStar selector=touchUp: status=installed-over-inherited/);
await page.check("#changes-only");
assert.doesNotMatch(await page.textContent("#changes"), /Other events/);
const hiddenLines = await page.$$eval("#timeline li.hidden", lis => lis.length);
assert.ok(hiddenLines > 0);

// The sidebar breaks a long name after "_" or ".", never inside a word.
const wbr = await page.$$eval("nav button", bs => bs.map(b => b.querySelectorAll("wbr").length));
assert.ok(wbr[0] >= 6);
// A failure far down a long file: the report opens with its line in view, and the header stays
// at the top of the window however far the page scrolls.
const long = write("long.scn", "keyboards en_US\nstart com.example.app\n" +
  Array.from({ length: 700 }, (_, i) => `say line ${i}\n`).join("") + "expect input-mode com.example.app de_DE\n");
const longReport = join(folder, "long.html");
try {
  execFileSync(sim, ["run", "-q", "--report", longReport, long], { stdio: "pipe" });
} catch (e) { /* it fails: exit status 1 */ }
await page.setViewportSize({ width: 1280, height: 700 });
await page.goto("file://" + longReport);
await page.waitForSelector("#timeline li.selected");
const seen = await page.evaluate(() => new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(() => {
  const li = document.querySelector("#timeline li.selected").getBoundingClientRect();
  const box = document.querySelector("#timeline .lines").getBoundingClientRect();
  done({ line: Number(document.querySelector("#timeline li.selected").dataset.line), li: [li.top, li.bottom],
         box: [box.top, box.bottom], window: innerHeight });
}))));
assert.equal(seen.line, 703);
assert.ok(seen.li[0] >= seen.box[0] && seen.li[1] <= seen.box[1], "the failing line is in its list's view: " + JSON.stringify(seen));
assert.ok(seen.li[0] >= 0 && seen.li[1] <= seen.window, "and in the window's: " + JSON.stringify(seen));
await page.mouse.wheel(0, 3000);
await page.waitForTimeout(200);
const headerTop = await page.evaluate(() => document.querySelector("header").getBoundingClientRect().top);
assert.equal(headerTop, 0, "the header stays in view");
assert.deepEqual(errors, []);
await browser.close();
console.log("report navigation: ok");
