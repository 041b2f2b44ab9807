// The screen a page opened late is given (the events that still decide what it shows, the others
// dropped) folds, with the page's own fold, to what the whole trace folds to, after a long session
// that opens and closes applications, changes keyboards and modes, labels keys, opens the switcher
// menu, raises and dismisses alerts, locks and unlocks.
//   ORVANE_SIM=path/to/orvane-sim node --test tests/pages/
import { test } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { readFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { createInterface } from "node:readline";
import { fileURLToPath } from "node:url";
import vm from "node:vm";

const root = join(dirname(fileURLToPath(import.meta.url)), "..", "..");
const named = (file, constant) =>
  readFileSync(join(root, file), "utf8").match(new RegExp(constant + ' = "([^"]*)"'))[1];
globalThis.NAMES ??= {
  globeKey: named("platform/uikit.h", "kGlobeKeyName"),
  keyboardWillShow: named("platform/uikit.h", "kUIKeyboardWillShowNotification"),
  keyboardWillHide: named("platform/uikit.h", "kUIKeyboardWillHideNotification"),
};
globalThis.document ??= { createElement: () => ({}) };
vm.runInThisContext(readFileSync(join(root, "cli", "output", "pages", "device.js"), "utf8"), { filename: "device.js" });
const { foldEvents } = globalThis;

test("a page opened late draws what a page there from the start draws", { skip: !process.env.ORVANE_SIM }, async () => {
  const server = spawn(process.env.ORVANE_SIM, ["serve"], { stdio: ["ignore", "pipe", "inherit"] });
  try {
    const address = await new Promise((resolve) => createInterface({ input: server.stdout }).once("line", resolve));
    const token = new URLSearchParams(new URL(address).hash.slice(1)).get("token");
    const headers = { "X-Orvane-Token": token, "X-Orvane-Page": "test", "Content-Type": "text/plain" };
    const all = [];
    let since = 0;
    const act = async (...lines) => {
      const r = await fetch(new URL(`/api/act?since=${since}`, address), { method: "POST", headers, body: lines.join("\n") });
      const answer = await r.json();
      assert.equal(answer.screen, undefined, "a page that keeps up is never given the screen");
      assert.equal(answer.error, undefined, lines.join("; "));
      all.push(...answer.events);
      since = answer.next;
      return answer;
    };
    const first = await (await fetch(new URL("/api/view?since=0", address), { headers })).json();
    all.push(...first.events);
    since = first.next;
    await act("unlock", "run");
    await act("dismiss springboard", "run");
    for (let round = 0; round < 24; round++) {
      await act(`settings write {enabled: true, mode: ${1 + (round % 3)}, icon: ${round % 3}, SelectedKeyboards: [fr_FR@sw=AZERTY, "emoji@sw=Emoji"]}`,
                "post springboard darwin net.varnholt.orvane/prefsChanged", "run", "label com.example.notes");
      for (let i = 0; i < 3; i++) await act("tap com.example.notes globe", "run", "label com.example.notes");
      const menu = (await act("long-press com.example.notes")).events.findLast((e) => e.kind === "switcher-list");
      if (round % 2 && menu?.listJson?.length) await act(`choose com.example.notes "${menu.listJson[0]}"`, "run");
      await act(`start com.example.app${round}`, "run", `show-keyboard com.example.app${round}`, "run");
      if (round % 3 === 0) await act(`stop com.example.app${round}`, "run");
      if (round % 4 === 1) await act("hide-keyboard com.example.notes", "run", "show-keyboard com.example.notes", "run");
      if (round % 5 === 2) await act("keyboards en_US de_DE fr_FR@sw=AZERTY emoji@sw=Emoji ru_RU", "run");
      if (round % 6 === 3) await act("lock", "run", "unlock", "run");
    }
    assert.ok(since > 1000, "a session longer than the events kept: " + since);
    const late = await (await fetch(new URL("/api/view?since=0", address), { headers })).json();
    assert.ok(Array.isArray(late.screen), "a late page is given the screen");
    assert.ok(late.events.length <= 500, "and the last events only: " + late.events.length);
    const whole = foldEvents(all);
    const given = foldEvents(late.screen);
    assert.deepEqual(given.keyboards, whole.keyboards);
    assert.deepEqual([...given.processes.keys()].sort(), [...whole.processes.keys()].sort());
    for (const [name, p] of whole.processes) {
      const { switcher, ...rest } = p;
      const { switcher: givenSwitcher, ...givenRest } = given.processes.get(name);
      assert.deepEqual(givenRest, rest, name);
      assert.deepEqual(givenSwitcher?.list, switcher?.list, name + "'s switcher menu");
    }
    assert.ok(late.screen.length < 200, "the screen is what it shows, not the session: " + late.screen.length);
  } finally {
    server.kill("SIGINT");
  }
});
