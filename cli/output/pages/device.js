"use strict";
// The device as the report and the live page draw it: this script and device.css serve both. It
// folds trace events into what the screen shows (each process's keyboard, label overrides, switcher
// menu, alerts, lock screen) and draws a keyboard in its input mode's layout and the switcher menu.
// Everything it draws is text put on the page as text, never markup.
// What the screen shows after `events` (in order, any iterable): the keyboards' display names, and
// each process's input mode, keyboard shown or hidden, label overrides, last label and switcher list
// asked for, alerts on screen, lock screen. `state`, when given, is what the screen showed before
// them, and is changed in place.
function foldEvents(events, state = { keyboards: [], processes: new Map() }) {
  const proc = (name) => {
    if (!state.processes.has(name)) {
      state.processes.set(name, { name, inputMode: null, shown: false, overrides: {}, switcher: null, label: null,
                                  alerts: [], locked: name === "SpringBoard" });
    }
    return state.processes.get(name);
  };
  for (const e of events) {
    if (e.kind === "keyboards") {
      state.keyboards = (e.listJson || []).map((id, i) => ({ id, name: (e.displayNamesJson || [])[i] || id }));
      continue;
    }
    if (e.process === "device" || e.process === "scenario") continue;
    const p = proc(e.process);
    switch (e.kind) {
      case "start": p.inputMode = e.inputMode === "(none)" ? null : e.inputMode; break;
      case "stop": case "exit": state.processes.delete(e.process); break;
      case "input-mode": if (p.inputMode !== e.identifier) p.overrides = {}; p.inputMode = e.identifier; break;
      case "label-override": p.overrides[e.key] = e.text; break;
      case "label": p.label = { key: e.key, text: e.text }; break;
      case "switcher-list": p.switcher = { list: e.listJson || [], line: e.line }; break;
      case "switcher-hidden": p.switcher = null; break;
      case "alert": p.alerts.push({ title: e.title, message: e.message, button: e.button }); break;
      case "alert-dismissed": {
        const at = p.alerts.map((a) => a.title).lastIndexOf(e.title);
        if (at >= 0) p.alerts.splice(at, 1);
        break;
      }
      case "unlocked": p.locked = false; break;
      case "locked": p.locked = true; break;
      case "local-notification":
        if (e.name === NAMES.keyboardWillShow) p.shown = true;
        if (e.name === NAMES.keyboardWillHide) p.shown = false;
        break;
    }
  }
  return state;
}

// A log line's text with its ANSI colour codes drawn as colour (bold, magenta: what the extension's
// log uses), every other control character written as the language escapes it.
function logText(text) {
  const out = drawingElement("span", "log");
  let classes = [];
  for (const part of String(text).split(/(\u001b\[[0-9;]*m)/)) {
    const m = /^\u001b\[([0-9;]*)m$/.exec(part);
    if (m) {
      const codes = m[1].split(";");
      classes = codes.includes("0") || m[1] === "" ? [] : classes;
      if (codes.includes("1")) classes.push("ansi-bold");
      if (codes.includes("35")) classes.push("ansi-magenta");
    } else if (part) {
      out.append(drawingElement("span", classes.join(" "), visible(part)));
    }
  }
  return out;
}

// A text with its control characters written as the language escapes them: what a trace field
// shows, never a raw escape.
function visible(v) {
  return String(v).replace(/[\x00-\x1f\x7f]/g, (c) =>
    ({ "\x1b": "\\e", "\n": "\\n", "\t": "\\t", "\r": "\\r" })[c] ?? "\\x" + c.charCodeAt(0).toString(16).padStart(2, "0"));
}

// The layout a keyboard is drawn in, from its identifier's "sw=" qualifier, else its language.
function keyboardLayout(id) {
  id = id || "";
  const sw = (/sw=([^;]*)/.exec(id) || [])[1] || "";
  const lang = id.split(/[_@-]/)[0].toLowerCase();
  if (lang === "emoji" || sw === "Emoji") return { name: "emoji", rows: [["😀","😂","😍","😎","🤔","😢","👍","🙏"], ["🐶","🐱","🍎","🍕","⚽","🚗","🎉","🎵"], ["❤","⭐","🔥","🌈","☀","🌙","⚡","💡"]] };
  const rows = (a, b, c) => ({ rows: [[...a], [...b], [...c]] });
  if (sw === "AZERTY" || (!sw && (lang === "fr" || lang === "be"))) return { name: "azerty", ...rows("azertyuiop", "qsdfghjklm", "wxcvbn") };
  if (sw === "QWERTZ" || (!sw && (lang === "de" || lang === "cs" || lang === "hu"))) return { name: "qwertz", ...rows("qwertzuiop", "asdfghjkl", "yxcvbnm") };
  if (lang === "ru" || lang === "uk" || lang === "bg") return { name: "cyrillic", ...rows("йцукенгшщзх", "фывапролджэ", "ячсмитьбю") };
  if (lang === "el") return { name: "greek", ...rows("ςερτυθιοπ", "ασδφγηξκλ", "ζχψωβνμ") };
  if (lang === "ko") return { name: "korean", ...rows("ㅂㅈㄷㄱㅅㅛㅕㅑㅐㅔ", "ㅁㄴㅇㄹㅎㅗㅓㅏㅣ", "ㅋㅌㅊㅍㅠㅜㅡ") };
  if (lang === "ja") return { name: "kana", ...rows("あかさたなはまやらわ", "いきしちにひみゆりを", "うくすつぬふむよるん") };
  return { name: "qwerty", ...rows("qwertyuiop", "asdfghjkl", "zxcvbnm") };
}

// The device's keys are one row of ten letters: a key of the top row is the device's key at its place.
const deviceLetterKeys = "qwertyuiop";

function drawingElement(tag, cls, text) {
  const node = document.createElement(tag);
  if (cls) node.className = cls;
  if (text !== undefined) node.textContent = text;
  return node;
}

// An icon drawn as SVG (no font needed): "globe" or "lock".
const iconPaths = {
  globe: ["M12 2a10 10 0 1 0 0 20a10 10 0 1 0 0-20z", "M2 12h20", "M12 2c3 3 3 17 0 20", "M12 2c-3 3-3 17 0 20",
          "M4 6.5c4 2 12 2 16 0", "M4 17.5c4-2 12-2 16 0"],
  lock: ["M6 11h12v10H6z", "M8.5 11V7.5a3.5 3.5 0 0 1 7 0V11"],
  emoji: ["M12 2a10 10 0 1 0 0 20a10 10 0 1 0 0-20z", "M8 14.5c2 2.5 6 2.5 8 0", "M9 9.5v1", "M15 9.5v1"],
};
function drawIcon(name, size) {
  const ns = "http://www.w3.org/2000/svg";
  const svg = document.createElementNS(ns, "svg");
  for (const [k, v] of Object.entries({ viewBox: "0 0 24 24", width: size, height: size, fill: "none", stroke: "currentColor",
                                        "stroke-width": 1.6, "aria-hidden": "true", class: "icon " + name })) svg.setAttribute(k, v);
  for (const d of iconPaths[name]) { const path = document.createElementNS(ns, "path"); path.setAttribute("d", d); svg.append(path); }
  return svg;
}

// The keys the page draws that the device's keyboard does not have: they change the page's text
// field only (shift, the digits and symbols, delete, return).
const digitRows = [[..."1234567890"], [..."-/:;()$&@\""], [...".,?!'"]];

// A process's keyboard, from `foldEvents`: its layout's rows (with shift and delete beside the last),
// the digits key, the globe key (the label the extension gave it, else the globe), the space bar with
// the keyboard's display name, and return. With `on` ({letter(ch, deviceKey), globeDown, globeUp,
// space, shift, digits, erase, enter}; `options` {upper, digits}) the keys are pressed; without, they
// are a picture.
function drawKeyboard(p, keyboards, on, options = {}) {
  const layout = keyboardLayout(p.inputMode);
  const board = drawingElement("div", "keyboard " + layout.name + (p.shown ? "" : " hidden-keyboard"));
  board.dataset.layout = layout.name;
  board.setAttribute("role", "group");
  board.setAttribute("aria-label", "keyboard of " + p.name);
  const key = (cls, text) => { const b = drawingElement("button", "key " + cls, text); b.disabled = !on; return b; };
  const side = (cls, text, label, press) => {
    const b = key("side " + cls, text);
    b.setAttribute("aria-label", label);
    if (on && press) b.onclick = press;
    return b;
  };
  const rows = options.digits ? digitRows : layout.rows;
  rows.forEach((row, r) => {
    const line = drawingElement("div", "row");
    row.forEach((ch, i) => {
      const shown = options.upper && !options.digits ? ch.toUpperCase() : ch;
      const b = key("letter", shown);
      const deviceKey = !options.digits && r === 0 && i < deviceLetterKeys.length ? deviceLetterKeys[i] : null;
      if (deviceKey) b.dataset.deviceKey = deviceKey;
      if (deviceKey && deviceKey === options.tapped) b.classList.add("tapped");
      if (on) b.onclick = () => on.letter(shown, deviceKey);
      line.append(b);
    });
    if (r === rows.length - 1 && layout.name !== "emoji") {
      line.prepend(side("shift" + (options.upper ? " on" : ""), "\u21e7", "shift", on && on.shift));
      line.append(side("delete", "\u232b", "delete", on && on.erase));
    }
    board.append(line);
  });
  const bottom = drawingElement("div", "row");
  const override = p.overrides[NAMES.globeKey];
  const globe = key("globe-key" + (override ? " override" : ""), override || undefined);
  // With one keyboard besides the emoji keyboard, the key is the emoji key (a face), as the
  // platform draws it; otherwise the globe.
  const emojiKey = keyboards.length === 2 && keyboards.some((k) => keyboardLayout(k.id).name === "emoji");
  if (!override) globe.append(drawIcon(emojiKey ? "emoji" : "globe", 20));
  if (options.tapped === NAMES.globeKey) globe.classList.add("tapped");
  globe.setAttribute("aria-label", "globe key" + (override ? ": " + override : ""));
  if (on) { globe.onpointerdown = on.globeDown; globe.onpointerup = on.globeUp; }
  const mode = keyboards.find((k) => k.id === p.inputMode);
  const space = key("space-bar", spaceBarName(p.inputMode, mode && mode.name));
  if (mode) space.title = mode.name;
  if (on) space.onclick = on.space;
  if (options.tapped === "Space-Key") space.classList.add("tapped");
  bottom.append(side("digits", options.digits ? "ABC" : "123", options.digits ? "letters" : "digits", on && on.digits),
                globe, space, side("return", "return", "return", on && on.enter));
  board.append(bottom);
  return board;
}

// The name the space bar shows, on one line: the keyboard's display name with its region as the
// identifier's code ("English (United States)" on en_US is "English (US)"); a keyboard the device
// has no name for, its identifier without its qualifiers ("en_US" for "en_US@hw=US;sw=QWERTY").
function spaceBarName(id, name) {
  const base = String(id || "").split("@")[0];
  if (!name) return base || "\u2014";
  const region = (/^[a-z]{2,3}[_-]([A-Z]{2}|[0-9]{3})\b/.exec(base) || [])[1];
  const paren = name.lastIndexOf(" (");
  return region && paren > 0 && name.endsWith(")") ? name.slice(0, paren) + " (" + region + ")" : name;
}

// The switcher menu a long press opened: display names, a check mark on the current keyboard.
function drawSwitcherMenu(p, keyboards, onPick) {
  const menu = drawingElement("div", "switcher-menu");
  menu.setAttribute("role", "menu");
  for (const id of p.switcher.list) {
    const item = drawingElement("div", "item");
    item.setAttribute("role", "menuitem");
    item.dataset.id = id;
    const mode = keyboards.find((k) => k.id === id);
    item.append(drawingElement("span", "check", id === p.inputMode ? "✓" : ""), drawingElement("span", "name", mode ? mode.name : id));
    if (onPick) item.onclick = () => onPick(id);
    menu.append(item);
  }
  return menu;
}
