// The device drawing's script (cli/output/pages/device.js) on its own, in Node: the fold of trace events
// given events by hand and judged against the device's own final state for every scenario, the
// keyboard layouts, the drawn keyboard and the switcher menu. The script runs as the pages run it,
// a classic script, here with a small stand-in for the document it draws into.
//   node --test tests/pages/        (ORVANE_SIM=path/to/orvane-sim for the comparison with the device)
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, readdirSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";
import vm from "node:vm";

const root = join(dirname(fileURLToPath(import.meta.url)), "..", "..");

// Just enough of a document for the drawing: elements with classes, text, attributes, data and children.
class Element {
  constructor(tag) {
    Object.assign(this, { tagName: tag.toUpperCase(), className: "", textContent: "", children: [], dataset: {},
                          attributes: {}, disabled: false });
  }
  setAttribute(name, value) { this.attributes[name] = String(value); }
  getAttribute(name) { return this.attributes[name] ?? null; }
  append(...nodes) { this.children.push(...nodes); }
  prepend(...nodes) { this.children.unshift(...nodes); }
  get classList() { return this.className.split(" ").filter(Boolean); }
  all(predicate) { return [this, ...this.children.flatMap((c) => c.all(predicate))].filter(predicate); }
  withClass(name) { return this.all((e) => e.classList.includes(name)); }
}

// The script runs in this realm (so that its arrays and objects compare as this test's do), its
// functions global as on a page.
globalThis.document = { createElement: (tag) => new Element(tag), createElementNS: (ns, tag) => new Element(tag) };
// The names the command puts before device.js, read here from the headers that hold them.
const named = (file, constant) =>
  readFileSync(join(root, file), "utf8").match(new RegExp(constant + ' = "([^"]*)"'))[1];
globalThis.NAMES = {
  globeKey: named("platform/uikit.h", "kGlobeKeyName"),
  keyboardWillShow: named("platform/uikit.h", "kUIKeyboardWillShowNotification"),
  keyboardWillHide: named("platform/uikit.h", "kUIKeyboardWillHideNotification"),
  settingsFile: named("settings/settings.h", "kSettingsPath"),
  prefsChanged: named("settings/settings.h", "kPrefsChangedNotification"),
};
vm.runInThisContext(readFileSync(join(root, "cli", "output", "pages", "device.js"), "utf8"), { filename: "device.js" });
const { foldEvents, keyboardLayout, drawKeyboard, drawSwitcherMenu, spaceBarName } = globalThis;

const ev = (process, kind, fields = {}) => ({ process, kind, ...fields });

test("the fold follows a process from start to exit", () => {
  const state = foldEvents([
    ev("device", "keyboards", { listJson: ["en_US", "fr_FR"], displayNamesJson: ["English (US)", "French"] }),
    ev("SpringBoard", "start", { inputMode: "(none)" }),
    ev("app", "start", { inputMode: "en_US" }),
    ev("app", "local-notification", { name: "UIKeyboardWillShowNotification" }),
    ev("app", "label-override", { key: "International-Key", text: "emoji" }),
    ev("app", "label", { key: "International-Key", text: "emoji" }),
    ev("scenario", "input-mode", { identifier: "never" }),
  ]);
  assert.deepEqual(state.keyboards, [{ id: "en_US", name: "English (US)" }, { id: "fr_FR", name: "French" }]);
  assert.equal(state.processes.get("SpringBoard").inputMode, null);
  assert.equal(state.processes.get("SpringBoard").locked, true);
  const app = state.processes.get("app");
  assert.deepEqual([app.inputMode, app.shown, app.locked], ["en_US", true, false]);
  assert.deepEqual(app.overrides, { "International-Key": "emoji" });
  assert.deepEqual(app.label, { key: "International-Key", text: "emoji" });
  assert.equal(state.processes.has("scenario"), false);

  // A new input mode drops the overrides of the old one; the same one keeps them.
  foldEvents([ev("app", "input-mode", { identifier: "en_US" })], state);
  assert.deepEqual(app.overrides, { "International-Key": "emoji" });
  foldEvents([ev("app", "input-mode", { identifier: "fr_FR" })], state);
  assert.deepEqual(app.overrides, {});
  foldEvents([ev("app", "local-notification", { name: "UIKeyboardWillHideNotification" }), ev("app", "exit")], state);
  assert.equal(state.processes.has("app"), false);
});

test("alerts are dismissed by title, the last of that title first; the switcher opens and closes", () => {
  const alert = (title) => ev("app", "alert", { title, message: "m", button: "Ok" });
  const state = foldEvents([alert("A"), alert("B"), alert("A"), ev("app", "alert-dismissed", { title: "A" }),
                            ev("app", "alert-dismissed", { title: "none" })]);
  assert.deepEqual(state.processes.get("app").alerts.map((a) => a.title), ["A", "B"]);
  foldEvents([ev("app", "switcher-list", { listJson: ["en_US", "fr_FR"], line: 7 })], state);
  assert.deepEqual(state.processes.get("app").switcher, { list: ["en_US", "fr_FR"], line: 7 });
  foldEvents([ev("app", "switcher-hidden")], state);
  assert.equal(state.processes.get("app").switcher, null);
  // A keyboards event without display names names each keyboard by its identifier.
  foldEvents([ev("device", "keyboards", { listJson: ["de_DE"] })], state);
  assert.deepEqual(state.keyboards, [{ id: "de_DE", name: "de_DE" }]);
});

test("folding in two parts is folding at once", () => {
  const events = [ev("app", "start", { inputMode: "en_US" }), ev("app", "label-override", { key: "k", text: "t" }),
                  ev("app", "alert", { title: "A" }), ev("app", "input-mode", { identifier: "fr_FR" }),
                  ev("SpringBoard", "unlocked"), ev("app", "alert-dismissed", { title: "A" })];
  for (let cut = 0; cut <= events.length; ++cut) {
    const parts = foldEvents(events.slice(cut), foldEvents(events.slice(0, cut)));
    assert.deepEqual(parts, foldEvents(events), "cut at " + cut);
  }
});

test("layouts come from the sw= qualifier first, then the language", () => {
  const layouts = {
    "en_US@hw=US;sw=QWERTY": "qwerty", "fr_FR@sw=AZERTY": "azerty", "fr_CA": "azerty", "fr_FR@sw=QWERTY": "qwerty",
    "de_DE": "qwertz", "en_US@sw=QWERTZ": "qwertz", "emoji@sw=Emoji": "emoji", "ru_RU": "cyrillic", "el_GR": "greek",
    "ko_KR": "korean", "ja_JP-Kana@sw=Kana": "kana", "": "qwerty", "zz": "qwerty",
  };
  for (const [id, name] of Object.entries(layouts)) assert.equal(keyboardLayout(id).name, name, id);
  assert.equal(keyboardLayout(null).name, "qwerty");
  for (const id of Object.keys(layouts)) assert.equal(keyboardLayout(id).rows.length, 3, id);
});

test("the drawn keyboard: its rows, the globe key's label, the space bar's name, the keys pressed", () => {
  const keyboards = [{ id: "fr_FR@sw=AZERTY", name: "Français" }];
  const p = { name: "app", inputMode: "fr_FR@sw=AZERTY", shown: true, overrides: {} };
  const picture = drawKeyboard(p, keyboards);
  assert.equal(picture.dataset.layout, "azerty");
  assert.equal(picture.withClass("letter").map((k) => k.textContent).join(""), "azertyuiopqsdfghjklmwxcvbn");
  assert.ok(picture.withClass("key").every((k) => k.disabled), "a picture's keys cannot be pressed");
  const drawnGlobe = picture.withClass("globe-key")[0];
  assert.equal(drawnGlobe.textContent, "");
  assert.equal(drawnGlobe.children[0].getAttribute("class"), "icon globe", "the globe is drawn, not a font's glyph");
  assert.deepEqual(picture.withClass("side").map((k) => k.getAttribute("aria-label")), ["shift", "delete", "digits", "return"]);
  // One keyboard besides emoji: the key is drawn as the emoji key.
  const withEmoji = drawKeyboard(p, [...keyboards, { id: "emoji@sw=Emoji", name: "Emoji" }]);
  assert.equal(withEmoji.withClass("globe-key")[0].children[0].getAttribute("class"), "icon emoji");
  assert.equal(picture.withClass("space-bar")[0].textContent, "Français");
  assert.equal(picture.getAttribute("aria-label"), "keyboard of app");
  assert.ok(!picture.classList.includes("hidden-keyboard"));

  const pressed = [];
  const on = { letter: (ch, key) => pressed.push([ch, key]), globeDown() {}, globeUp() {}, space() {} };
  const hidden = drawKeyboard({ ...p, shown: false, inputMode: "ru_RU", overrides: { "International-Key": "emoji" } },
                              keyboards, on);
  assert.ok(hidden.classList.includes("hidden-keyboard"));
  const globe = hidden.withClass("globe-key")[0];
  assert.deepEqual([globe.textContent, globe.classList.includes("override")], ["emoji", true]);
  assert.equal(globe.getAttribute("aria-label"), "globe key: emoji");
  assert.equal(hidden.withClass("space-bar")[0].textContent, "ru_RU", "a keyboard without a name shows its identifier");
  // A key of the top row is the device's key at its place; the other rows are no device key.
  const letters = hidden.withClass("letter");
  letters[0].onclick();
  letters[10].onclick();  // х: the Russian top row has eleven letters, the device's keys ten
  letters[11].onclick();
  assert.deepEqual(pressed, [["й", "q"], ["х", null], ["ф", null]]);
  assert.ok(letters.every((k) => !k.disabled));
});

test("the space bar's name is one short line: the region as its code, an unnamed keyboard's bare identifier", () => {
  assert.equal(spaceBarName("en_US@hw=US;sw=QWERTY", "English (United States)"), "English (US)");
  assert.equal(spaceBarName("es_419", "Spanish (Latin America)"), "Spanish (419)");
  assert.equal(spaceBarName("fr_FR@sw=AZERTY", "Français"), "Français");
  assert.equal(spaceBarName("emoji@sw=Emoji", "Emoji"), "Emoji");
  assert.equal(spaceBarName("zh_Hans-Pinyin@sw=Pinyin", "Chinese, Simplified (Pinyin)"), "Chinese, Simplified (Pinyin)");
  assert.equal(spaceBarName("en_US@hw=US;sw=QWERTY", undefined), "en_US");
  assert.equal(spaceBarName(null, undefined), "\u2014");
});

test("the switcher menu lists display names, checks the current keyboard and picks", () => {
  const keyboards = [{ id: "en_US", name: "English" }, { id: "fr_FR", name: "Français" }];
  const picked = [];
  const menu = drawSwitcherMenu({ inputMode: "fr_FR", switcher: { list: ["en_US", "fr_FR", "xx"] } }, keyboards,
                                (id) => picked.push(id));
  const items = menu.withClass("item");
  assert.deepEqual(items.map((i) => i.dataset.id), ["en_US", "fr_FR", "xx"]);
  assert.deepEqual(items.map((i) => i.withClass("name")[0].textContent), ["English", "Français", "xx"]);
  assert.deepEqual(items.map((i) => i.withClass("check")[0].textContent), ["", "✓", ""]);
  assert.equal(menu.getAttribute("role"), "menu");
  items[2].onclick();
  assert.deepEqual(picked, ["xx"]);
});

// The fold, given each scenario's whole JSON trace, shows what the device itself says it ended with.
test("the fold of every scenario's trace ends where the device does", { skip: !process.env.ORVANE_SIM }, () => {
  const folder = join(root, "tests", "scenarios");
  const work = mkdtempSync(join(tmpdir(), "fold-"));
  let compared = 0;
  try {
    for (const name of readdirSync(folder).filter((f) => f.endsWith(".scn")).sort()) {
      const stateFile = join(work, "state.json");
      let out;
      try {
        out = execFileSync(process.env.ORVANE_SIM, ["run", "--trace=json", "--state-json", stateFile, join(folder, name)],
                           { maxBuffer: 1 << 28 }).toString();
      } catch (failed) {
        out = failed.stdout.toString();  // a scenario that expects a failure still leaves its state
      }
      // The trace's events, without the run's own (each file's result, the summary).
      const events = out.split("\n").filter(Boolean).map((l) => JSON.parse(l)).filter((e) => "process" in e);
      const folded = foldEvents(events);
      const device = JSON.parse(readFileSync(stateFile, "utf8"));
      assert.deepEqual(folded.keyboards.map((k) => k.id), device.keyboards, name);
      assert.deepEqual([...folded.processes.keys()].sort(), device.processes.map((p) => p.name).sort(), name);
      for (const p of device.processes) {
        const f = folded.processes.get(p.name);
        assert.equal(f.inputMode ?? null, p.inputMode ?? null, name + ": " + p.name + "'s input mode");
        assert.equal(f.shown, p.keyboardShown, name + ": " + p.name + "'s keyboard");
        assert.deepEqual(f.alerts.map((a) => a.title), p.alertsOnScreen.map((a) => a.title), name + ": " + p.name);
      }
      ++compared;
    }
  } finally {
    rmSync(work, { recursive: true, force: true });
  }
  assert.ok(compared > 50, "scenarios compared: " + compared);
});
