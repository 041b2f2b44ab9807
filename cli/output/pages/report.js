"use strict";
// The report page: it reads the embedded data (the run's trace events, the scenarios' text and the
// expectations' outcomes), replays a scenario's events up to the selected line and draws the device
// as it then was.
const data = JSON.parse(document.getElementById("data").textContent);
const el = (tag, attrs, ...children) => {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "class") node.className = v; else node.setAttribute(k, v);
  }
  for (const c of children) node.append(c);
  return node;
};

// The run's events as the report keeps them (see Report::html): a flat list of numbers, each
// event rebuilt only when it is needed. `starts[i]` is where event i begins, `lineOf[i]` its line.
const shapes = data.shapes, values = data.values, flat = data.events;
const starts = [], lineOf = [];
for (let at = 0, line = 0; at < flat.length; at += 2 + shapes[flat[at]].keys.length) {
  starts.push(at);
  line += flat[at + 1];
  lineOf.push(line);
}
function seqOf(i) {
  let lo = 0, hi = data.seqs.length;  // the last break at or before i
  while (hi - lo > 1) { const mid = (lo + hi) >> 1; if (data.seqs[mid][0] <= i) lo = mid; else hi = mid; }
  const [index, seq] = data.seqs[lo] || [0, 1];
  return seq + i - index;
}
// Event i as the JSON trace prints it.
function eventAt(i) {
  const at = starts[i], shape = shapes[flat[at]];
  const e = { seq: seqOf(i), process: shape.process, kind: shape.kind };
  if (shape.file !== undefined) { e.file = shape.file; e.line = lineOf[i]; }
  shape.keys.forEach((key, k) => {
    const v = flat[at + 2 + k];
    e[key] = typeof v === "number" ? values[v] : v;
  });
  return e;
}

// Events (as indices) and outcomes by scenario file; a file's events come in line order.
const eventsOfFile = new Map(data.files.map(f => [f.name, []]));
starts.forEach((_, i) => { const mine = eventsOfFile.get(shapes[flat[starts[i]]].file); if (mine) mine.push(i); });
const files = data.files.map((f, index) => ({
  index, name: f.name, result: f.result, lines: f.text.replace(/\n$/, "").split("\n"),  // no empty last line
  events: eventsOfFile.get(f.name), checkpoints: [],
  outcomes: new Map(data.expectations.filter(x => x.file === f.name).map(x => [x.line, x])),
}));
// A file stops at a line that could not be run: the lines after it never ran.
for (const f of files) {
  const stop = [...f.outcomes.values()].find(x => x.error);
  f.stoppedAt = stop ? stop.line : Infinity;
}
// What an outcome is called, and the class that colours it: an error (the line could not be run)
// apart from a failure (it ran, and what it expected did not hold).
const outcomeClass = (x) => x.error ? "error" : x.held ? "held" : "failed";
const outcomeTitle = (x) => x.error ? "Line could not be run" : x.held ? "Expectation held" : "Expectation FAILED";
// The line with a caret under the word its error blames (a column in bytes of its UTF-8).
function caretUnder(text, column) {
  const bytes = new TextEncoder().encode(text);
  const before = new TextDecoder().decode(bytes.slice(0, column));
  return text + "\n" + [...before].map(c => (c === "\t" ? "\t" : " ")).join("") + "^";
}
const view = { file: 0, line: 1, process: "", changesOnly: false, query: "" };

// The position in `file.events` of its first event after `line`.
function eventsUpTo(file, line) {
  let lo = 0, hi = file.events.length;
  while (lo < hi) { const mid = (lo + hi) >> 1; if (lineOf[file.events[mid]] <= line) lo = mid + 1; else hi = mid; }
  return lo;
}
function* eventsBetween(file, from, to) {
  for (let k = from; k < to; ++k) yield eventAt(file.events[k]);
}

// The device after `line`: a fresh device for every file, its events replayed in order. A copy of
// the device is kept every so many events, so a line far down replays only from the copy before it.
const kCheckpoint = 2048;
function stateAt(file, line) {
  const upTo = eventsUpTo(file, line);
  const held = Math.min(Math.floor(upTo / kCheckpoint), file.checkpoints.length);
  let state = held ? structuredClone(file.checkpoints[held - 1]) : undefined;
  let at = held * kCheckpoint;
  for (let next = at + kCheckpoint; next <= upTo; at = next, next += kCheckpoint) {
    state = foldEvents(eventsBetween(file, at, next), state);
    file.checkpoints.push(structuredClone(state));
  }
  return foldEvents(eventsBetween(file, at, upTo), state);
}

// What a line did to a process's phone, against the step before it: the key it tapped, and whether
// the keyboard, the globe key's label or the switcher menu changed.
function stepOf(file, line, p, before) {
  let tapped = null;
  for (const e of eventsBetween(file, eventsUpTo(file, line - 1), eventsUpTo(file, line))) {
    if (e.kind === "tap" && e.process === p.name) tapped = e.key;
  }
  const was = before.processes.get(p.name);
  const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);
  return { tapped,
           keyboard: !was || was.inputMode !== p.inputMode || was.shown !== p.shown,
           label: !!was && !same(was.overrides, p.overrides),
           menu: !!was && !same(was.switcher && was.switcher.list, p.switcher && p.switcher.list) && !!p.switcher };
}

function renderDevice(file) {
  const state = stateAt(file, view.line);
  const before = stateAt(file, view.line - 1);
  const device = document.getElementById("device");
  device.replaceChildren();
  for (const p of state.processes.values()) {
    if (view.process && p.name !== view.process) continue;
    const card = el("div", { class: "process" + (p.shown ? "" : " keyboard-hidden"), "data-process": p.name },
                    el("h3", {}, p.name, " ", el("span", { class: "mode" },
                       p.inputMode ? `on ${p.inputMode}` : "no keyboard", p.shown ? "" : " (keyboard hidden)")));
    if (p.locked) card.append(el("div", { class: "lock-screen" }, el("div", { class: "clock" }, "9:41"), "Locked"));
    // The keyboard as the phone shows it: the key this line tapped marked, what it changed outlined,
    // and the switcher menu as the popover above the globe key.
    const step = stepOf(file, view.line, p, before);
    const phone = el("div", { class: "phone-keyboard" });
    const board = drawKeyboard(p, state.keyboards, undefined, { tapped: step.tapped });
    if (step.keyboard) board.classList.add("changed");
    if (step.label) board.querySelector(".globe-key").classList.add("changed");
    phone.append(board);
    if (p.switcher) {
      const menu = el("div", { class: "switcher" + (step.menu ? " changed" : "") },
                      el("div", { class: "caption" }, `switcher menu, asked at line ${p.switcher.line}`),
                      drawSwitcherMenu(p, state.keyboards));
      phone.append(menu);
    }
    card.append(phone);
    if (p.label) card.append(el("div", { class: "mode label" }, `last label asked: ${p.label.key} \u2192 ${p.label.text}`));
    for (const a of p.alerts) {
      card.append(el("div", { class: "alert", role: "dialog" }, el("div", { class: "title" }, a.title),
                     el("div", { class: "message" }, a.message), el("div", { class: "button" }, a.button)));
    }
    device.append(card);
  }
  if (!device.children.length) device.append(el("p", { class: "none" }, "No process running yet."));
}

const groups = [
  ["Preferences", e => e.kind.startsWith("pref-"), e =>
    e.kind === "pref-sync" ? `synchronize ${e.domain}`
    : e.kind === "pref-set" ? `set in the process (not yet in the file): ${e.domain} ${e.key} = ${e.value}`
    : e.kind === "pref-moved-aside" ? `${e.domain}: unreadable file set aside as ${e.to}`
    : `${e.kind === "pref-write-failed" ? "NOT written: " : ""}${e.domain} ${e.key} = ${e.value}`],
  ["Settings file", e => (e.kind === "file-write" || e.kind === "file-write-failed") && e.path === NAMES.settingsFile,
   e => `${e.kind === "file-write" ? "written" : "NOT written"}: ${e.valueJson ? Object.keys(e.valueJson).join(", ") : (e.bytes || "") + " bytes"}`],
  ["Notifications", e => /^(darwin|distributed|notify|local)-|^local-notification$/.test(e.kind) && !e.kind.endsWith("observe"),
   e => `${e.kind} ${e.name}`],
  ["Log", e => e.kind === "log", e => logText(e.text)],
  ["Activator", e => e.kind.startsWith("activator-"), e => `${e.kind} ${e.name || ""} ${e.what || ""} ${e.answer || e.handled || ""}`],
  ["Keyboard", e => /^(input-mode|label|switcher|tap|typed|touch-up|context)/.test(e.kind),
   e => `${e.kind} ${e.identifier || e.key || e.list || e.text || e.context || ""}`],
  ["Main queue", e => e.kind.startsWith("main-queue"), e => `${e.kind} task ${e.task}`],
];

// Every field an event carries, as the text trace shows them (the JSON twins left out).
function fieldsOf(e) {
  const skip = new Set(["seq", "process", "kind", "file", "line"]);
  const text = Object.entries(e).filter(([k]) => !skip.has(k) && !k.endsWith("Json") && !k.endsWith("JsonError"))
                   .map(([k, v]) => `${k}=${visible(v)}`).join(" ");
  return el("span", { class: "fields" }, text);
}

function renderChanges(file) {
  const events = [...eventsBetween(file, eventsUpTo(file, view.line - 1), eventsUpTo(file, view.line))]
                     .filter(e => !view.process || e.process === view.process);
  const aside = document.getElementById("changes");
  aside.replaceChildren(el("h3", {}, `Line ${view.line}: ${events.length} event${events.length === 1 ? "" : "s"}`));
  const outcome = file.outcomes.get(view.line);
  if (outcome) {
    const section = el("section", { class: outcomeClass(outcome) }, el("h4", {}, outcomeTitle(outcome)), outcome.message);
    if (outcome.error && outcome.column !== undefined) {
      section.append(el("pre", { class: "caret" }, caretUnder(file.lines[view.line - 1] || "", outcome.column)));
    }
    aside.append(section);
  } else if (view.line > file.stoppedAt) {
    aside.append(el("section", { class: "notrun" }, el("h4", {}, "Never run"),
                    `The file stopped at line ${file.stoppedAt}, which could not be run.`));
  }
  const shown = new Set();
  for (const [title, test, show] of groups) {
    const mine = events.filter(test);
    if (!mine.length) continue;
    mine.forEach(e => shown.add(e));
    aside.append(el("section", {}, el("h4", {}, title),
                    el("ul", {}, ...mine.map(e => el("li", {}, `[${e.process}] `, show(e), " ", fieldsOf(e))))));
  }
  // Everything else the line did (hooks, queue turns, ...), unless only changes are asked for.
  const rest = events.filter(e => !shown.has(e));
  if (rest.length && !view.changesOnly) {
    aside.append(el("section", {}, el("h4", {}, "Other events"),
                    el("ul", {}, ...rest.map(e => el("li", {}, `[${e.process}] ${e.kind} `, fieldsOf(e))))));
  }
}

// The timeline is built when its file or filters change; a new selection only moves the mark. Its
// lines are in blocks of kBlock, and the browser lays out only the blocks in view.
const kBlock = 256;
const timeline = { of: "", rows: [], line: 0 };
function renderTimeline(file) {
  const key = JSON.stringify([view.file, view.changesOnly, view.query]);
  if (key !== timeline.of) buildTimeline(file, key);
  const before = timeline.rows[timeline.line - 1];
  if (before) before.classList.remove("selected");
  timeline.line = view.line;
  const selected = timeline.rows[view.line - 1];
  if (selected) {
    selected.classList.add("selected");
    // Scrolled into view now, and again once the frame has laid out the blocks around it (their
    // sizes were estimates until then), so that the line is in view when the report opens at it.
    if (selected.scrollIntoView) {
      selected.scrollIntoView({ block: "nearest" });
      requestAnimationFrame(() => { if (timeline.rows[view.line - 1] === selected) selected.scrollIntoView({ block: "nearest" }); });
    }
  }
}

function buildTimeline(file, key) {
  timeline.of = key;
  timeline.rows = [];
  if (!file.busy) file.busy = new Set(file.events.map(i => lineOf[i]));
  const lines = el("div", { class: "lines", tabindex: "0" });
  let block = null;
  file.lines.forEach((text, i) => {
    const number = i + 1;
    const outcome = file.outcomes.get(number);
    const classes = [];
    if (/^\s*#/.test(text)) classes.push("comment");
    if (outcome) classes.push(outcomeClass(outcome));
    if (number > file.stoppedAt && /\S/.test(text) && !/^\s*#/.test(text)) classes.push("notrun");
    if (view.changesOnly && !file.busy.has(number) && !outcome) classes.push("hidden");
    if (view.query) classes.push(text.toLowerCase().includes(view.query) ? "match" : "hidden");
    const item = el("li", { class: classes.join(" "), "data-line": number },
                    el("span", { class: "number" }, String(number)), el("span", { class: "text" }, text));
    // The message on a row of its own under the line, never run into its code.
    if (outcome && !outcome.held) {
      item.append(el("span", { class: "outcome" },
                     outcome.error && outcome.column !== undefined ? caretUnder(text, outcome.column) + "\n" : "",
                     outcome.message));
    }
    if (i % kBlock === 0) {
      // Until it is first drawn, a block is as tall as its lines would be unwrapped.
      lines.append(block = el("ol", {}));
      block.style.containIntrinsicSize = `auto ${20 * Math.min(kBlock, file.lines.length - i)}px`;
    }
    block.append(item);
    timeline.rows.push(item);
  });
  // One listener for every line.
  lines.addEventListener("click", event => {
    const li = event.target.closest && event.target.closest("li");
    if (li && lines.contains(li)) select(view.file, Number(li.dataset.line));
  });
  document.getElementById("timeline").replaceChildren(el("h3", {}, file.name), lines);
}

function renderScenarios() {
  const nav = document.getElementById("scenarios");
  nav.replaceChildren(...files.map(f => {
    // A name breaks after "/", "_", "-" or ".", never inside a word.
    const parts = f.name.split(/(?<=[\/_.-])/).flatMap((part, i) => (i ? [el("wbr", {}), part] : [part]));
    const b = el("button", { class: `${f.result} ${f.index === view.file ? "selected" : ""}` }, ...parts);
    b.addEventListener("click", () => select(f.index, 1));
    return b;
  }));
}

function renderSummary() {
  const s = data.summary;
  const header = document.getElementById("summary");
  const processes = [...new Set(shapes.map(s => s.process))].filter(p => p !== "device" && p !== "scenario").sort();
  const filter = el("select", { id: "process-filter" }, el("option", { value: "" }, "every process"),
                    ...processes.map(p => el("option", { value: p }, p)));
  filter.value = view.process;
  filter.addEventListener("change", () => { view.process = filter.value; render(); });
  const toggle = el("input", { type: "checkbox", id: "changes-only" });
  toggle.checked = view.changesOnly;
  toggle.addEventListener("change", () => { view.changesOnly = toggle.checked; render(); });
  const search = el("input", { type: "search", id: "search", placeholder: "search the lines (/)" });
  search.value = view.query;
  search.addEventListener("input", () => { view.query = search.value.toLowerCase(); render(); });
  search.addEventListener("keydown", event => {
    if (event.key !== "Enter") return;
    const next = visibleLines().find(n => n > view.line) || visibleLines()[0];
    if (next) select(view.file, next);
  });
  header.replaceChildren(el("strong", {}, "orvane-sim"),
                         el("span", { id: "counts" }, `${s.passed} passed, `,
                            el("span", { class: s.failedFiles ? "failed" : "" }, `${s.failedFiles} failed`),
                            ...(s.errorFiles ? [el("span", {}, ", "), el("span", { class: "error" },
                                                          `${s.errorFiles} error${s.errorFiles === 1 ? "" : "s"}`)] : []),
                            el("span", {}, ` (${s.expectations} expectations, ${s.failed} failed)`)),
                         el("label", {}, "Process ", filter),
                         search,
                         el("label", {}, toggle, " changes only"));
}

// Draws the selected line; `push`: a step of its own in the browser's history (Back returns to the
// line before), else the address is only brought up to date.
function render(push) {
  const file = files[view.file];
  if (!file) return;
  renderScenarios();
  renderTimeline(file);
  renderDevice(file);
  renderChanges(file);
  const hash = `#f=${view.file}&l=${view.line}`;
  if (location.hash === hash || !history.replaceState) return;
  if (push) history.pushState(null, "", hash); else history.replaceState(null, "", hash);
}

function select(fileIndex, line, push = true) {
  if (!files.length) return;
  view.file = Math.max(0, Math.min(files.length - 1, fileIndex));
  view.line = Math.max(1, Math.min(files[view.file].lines.length, line));
  render(push);
}

function visibleLines() {
  return [...document.querySelectorAll("#timeline li:not(.hidden)")].map(li => Number(li.dataset.line));
}

// Every failed line of the run, in file order, then line order.
const failures = files.flatMap(f => [...f.outcomes.values()].filter(x => !x.held).map(x => ({ file: f.index, line: x.line })))
                      .sort((a, b) => a.file - b.file || a.line - b.line);

document.addEventListener("keydown", event => {
  if (event.target && event.target.tagName === "INPUT") return;  // typing in the search box
  if (event.ctrlKey || event.metaKey || event.altKey) return;
  const visible = visibleLines();
  const at = Math.max(0, visible.indexOf(view.line));
  const move = { ArrowDown: 1, ArrowUp: -1, PageDown: 10, PageUp: -10 }[event.key];
  let target = null;
  if (move !== undefined) {
    target = { file: view.file, line: visible[Math.max(0, Math.min(visible.length - 1, at + move))] };
  } else if (event.key === "Home") {
    target = { file: view.file, line: visible[0] };
  } else if (event.key === "End") {
    target = { file: view.file, line: visible[visible.length - 1] };
  } else if (event.key === "n" || event.key === "p") {
    const here = f => f.file - view.file || f.line - view.line;
    target = event.key === "n" ? failures.find(f => here(f) > 0) || failures[0]
                               : [...failures].reverse().find(f => here(f) < 0) || failures[failures.length - 1];
  } else if (event.key === "/") {
    document.getElementById("search").focus();
  } else {
    return;
  }
  event.preventDefault();
  if (target && target.line) select(target.file, target.line);
});

// "#f=FILE&l=LINE[&p=PROCESS]" selects a line; a part that is missing or not a number is ignored;
// without a file, the first failure, or the first line.
function applyFragment() {
  const params = new URLSearchParams(location.hash.slice(1));
  const number = (name, otherwise) => {
    const n = Number.parseInt(params.get(name) || "", 10);
    return Number.isFinite(n) ? n : otherwise;
  };
  const fileIndex = number("f", null);
  if (fileIndex !== null) {
    view.process = params.get("p") || "";
    renderSummary();
    select(fileIndex, number("l", 1), false);
    return;
  }
  renderSummary();
  const firstFailed = failures[0];
  if (firstFailed) select(firstFailed.file, firstFailed.line, false);
  else select(0, 1, false);
}
// Back and Forward (and an address typed by hand) select the line the fragment names.
window.addEventListener("hashchange", applyFragment);
window.addEventListener("popstate", applyFragment);
applyFragment();
