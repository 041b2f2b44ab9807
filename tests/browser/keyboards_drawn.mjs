// Every keyboard the device draws, drawn whole on the live page in headless Chromium: for each
// layout, every key lies inside the keyboard, the space bar's name fits its one line, and the
// letters are drawn in a font that has them (not the empty boxes of a missing glyph); a log line in
// the live trace holds no control character. A screenshot of each layout goes to OUTPUT.
//   node keyboards_drawn.mjs ORVANE_SIM OUTPUT
import { chromium } from "playwright-core";
import { spawn } from "node:child_process";
import { mkdirSync, mkdtempSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createInterface } from "node:readline";
import assert from "node:assert/strict";

const [sim, output] = process.argv.slice(2);
mkdirSync(output, { recursive: true });
// One keyboard of each layout the device has, with the identifiers the platform uses.
const layouts = {
  qwerty: "en_US@hw=US;sw=QWERTY", azerty: "fr_FR@sw=AZERTY", qwertz: "de_DE", cyrillic: "ru_RU",
  greek: "el_GR", korean: "ko_KR", kana: "ja_JP", emoji: "emoji@sw=Emoji",
};
const setUp = join(mkdtempSync(join(tmpdir(), "keyboards-drawn-")), "set-up.scn");
writeFileSync(setUp, `keyboards ${Object.values(layouts).join(" ")}\nstart springboard\nunlock\n`);
const server = spawn(sim, ["serve", setUp], { stdio: ["ignore", "pipe", "inherit"] });
const address = await new Promise((resolve, reject) => {
  createInterface({ input: server.stdout }).once("line", resolve);
  server.once("exit", (code) => reject(new Error("orvane-sim serve ended: " + code)));
});
const token = new URLSearchParams(new URL(address).hash.slice(1)).get("token");
const act = async (...lines) => {
  const r = await fetch(new URL("/api/act?since=0", address), {
    method: "POST", headers: { "X-Orvane-Token": token, "Content-Type": "text/plain" }, body: lines.join("\n") });
  const answer = await r.json();
  assert.ok(answer.ok, answer.error);
};

const browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args: ["--no-sandbox"] });
try {
  // The test measures the page with scripts of its own, which the page's policy would refuse.
  const context = await browser.newContext({ viewport: { width: 1400, height: 900 }, bypassCSP: true });
  const page = await context.newPage();
  await page.goto(address);
  let first = true;
  for (const [name, id] of Object.entries(layouts)) {
    // The application starts on the first enabled keyboard: this one.
    const others = Object.values(layouts).filter((k) => k !== id);
    await act(...(first ? [] : ["stop com.example.notes"]), `keyboards ${id} ${others.join(" ")}`,
              "start com.example.notes", "show-keyboard com.example.notes", "run");
    first = false;
    await page.waitForSelector('#apps option[value="com.example.notes"]', { state: "attached" });
    await page.selectOption("#apps", "com.example.notes");
    await page.waitForSelector(`#keyboard[data-layout="${name}"]`);
    const measured = await page.evaluate(() => {
      const board = document.querySelector("#keyboard").getBoundingClientRect();
      const keys = [...document.querySelectorAll("#keyboard .key")].map((k) => {
        const box = k.getBoundingClientRect();
        return { text: k.textContent, left: box.left, right: box.right, top: box.top, bottom: box.bottom };
      });
      const space = document.querySelector("#keyboard .space-bar");
      const letters = [...document.querySelectorAll("#keyboard .letter")].map((k) => k.textContent).join("");
      // A letter no font has is drawn as the missing glyph's box, the same for every such letter:
      // each letter is drawn, and compared with a character no font has.
      const canvas = document.createElement("canvas");
      canvas.width = 40;
      canvas.height = 40;
      const pen = canvas.getContext("2d", { willReadFrequently: true });
      pen.font = getComputedStyle(document.querySelector("#keyboard .letter")).font;
      const drawn = (c) => {
        pen.clearRect(0, 0, 40, 40);
        pen.fillText(c, 4, 28);
        return pen.getImageData(0, 0, 40, 40).data.join(",");
      };
      const missing = drawn("\u{10FFFD}");
      const boxes = [...letters].filter((c) => drawn(c) === missing);
      return { board: { left: board.left, right: board.right, top: board.top, bottom: board.bottom }, keys,
               space: { text: space.textContent, scroll: space.scrollWidth, client: space.clientWidth, lines: (() => {
                 const range = document.createRange();
                 range.selectNodeContents(space);
                 return new Set([...range.getClientRects()].map((r) => Math.round(r.top))).size;
               })() },
               letters, boxes };
    });
    for (const key of measured.keys) {
      assert.ok(key.left >= measured.board.left - 0.5 && key.right <= measured.board.right + 0.5 &&
                key.top >= measured.board.top - 0.5 && key.bottom <= measured.board.bottom + 0.5,
                `${name}: the key ${key.text} lies outside the keyboard`);
    }
    assert.ok(measured.space.scroll <= measured.space.client && measured.space.lines === 1,
              `${name}: the space bar's name "${measured.space.text}" does not fit its line`);
    assert.deepEqual(measured.boxes, [], `${name}: no font draws these letters`);
    await page.locator("#phone").screenshot({ path: join(output, `${name}.png`) });
    if (name === "cyrillic") {
      // The computer's keys type the Russian letters at their places; the field shows its caret.
      await page.evaluate(() => document.activeElement.blur());
      await page.keyboard.press("KeyQ");
      await page.keyboard.press("BracketLeft");
      assert.equal(await page.textContent("#field"), "йх");
      assert.ok(await page.$("#field.focused"), "the field shows its focus while the keyboard is up");
      // The Keyboards field shows the keyboards the device has.
      assert.match(await page.inputValue("#kbds"), /^ru_RU /);
      // Every control of the side column is in view at 1400 by 900, without scrolling.
      for (const id of ["#lockdevice", "#save", "#shot", "#apply", "#launch"]) {
        const box = await page.locator(id).boundingBox();
        assert.ok(box && box.y + box.height <= 900, `${id} is below the fold`);
      }
      // A bundle identifier with a space is refused, and said so.
      await page.fill("#newapp", "com.example two");
      await page.click("#launch");
      assert.match(await page.textContent("#apps-said"), /never a space|not “com.example two”/);
    }
    console.log(`${name}: ${measured.keys.length} keys inside the keyboard, space bar "${measured.space.text}"`);
  }
  // A log line (the extension's, in colour) shows no raw escape in the live trace.
  await act("stop com.example.notes", "start com.example.notes");
  await page.waitForSelector('#trace [data-kind="log"]');
  const logs = await page.$$eval('#trace [data-kind="log"]', (lines) => lines.map((l) => l.textContent));
  for (const text of logs) assert.doesNotMatch(text, /[\x00-\x1f\x7f]/, `a log line shows a control character: ${text}`);
  assert.ok(await page.$('#trace [data-kind="log"] .ansi-magenta'), "the log line's colour is drawn");
} finally {
  await browser.close();
  server.kill("SIGINT");
}
