"use strict";
// The live page: it draws the device from the server's view and sends each press as scenario lines.
// Everything it shows comes from the server as data and is put on the page as text (textContent),
// never as markup, so no value can run or break it.
// The token comes in the address's fragment (after '#': a browser never sends it, logs it or passes it
// on) and is kept in this tab's own storage, which only this origin and port reach, so that a reload
// finds it; the address loses it at once, so that it stays out of the history and of a screenshot.
// It goes with each request in a header, never in a cookie (cookies are not kept apart by port).
const asked = new URLSearchParams(location.hash.slice(1));
// "view=phone": the phone alone, as `orvane-sim screenshot` takes it; the page then only draws.
const phoneOnly = asked.get("view") === "phone";
if (phoneOnly) document.body.classList.add("phone-only");
const token = (() => {
  const given = asked.get("token");
  if (given) { sessionStorage.setItem("orvane-token", given); history.replaceState(null, "", "/"); }
  return given || sessionStorage.getItem("orvane-token") || "";
})();
let next = 0, view = null, current = null, menuOpen = false;
// What the screen shows, folded from the events as they come (each folded once, so that an answer
// costs the same however long the session), and Activator's listeners with the titles they gave.
const screen = foldEvents([]);
const listeners = new Set(), titles = new Map(), askedTitles = new Set();
const press = {timer: null, long: false};
const typing = {upper: false, digits: false};  // the page's own shift and digits keys
let keyHandlers = null;  // what the phone's keys do, for the computer's keyboard
const $ = (id) => document.getElementById(id);
const el = (tag, text, cls) => { const e = document.createElement(tag); if (text !== undefined) e.textContent = text; if (cls) e.className = cls; return e; };
// An answer redraws only what it changed: each of these writes to the page only when the value
// differs, since even the same value written again has the browser style and lay out anew.
const setText = (e, text) => { if (e.textContent !== text) e.textContent = text; };
const setHidden = (e, hidden) => { if (e.hidden !== hidden) e.hidden = hidden; };
const setData = (e, k, v) => { if (e.dataset[k] !== v) e.dataset[k] = v; };
// Makes `node` look and act as `like`, a fresh drawing of it, keeping the elements that stay and
// writing only what differs; a child of another kind, or children of another number, are replaced.
const handlers = ["onclick", "onpointerdown", "onpointerup"];
function morph(node, like) {
  if (node.nodeType !== like.nodeType || node.nodeName !== like.nodeName) return node.replaceWith(like);
  if (node.nodeType === Node.TEXT_NODE) { if (node.nodeValue !== like.nodeValue) node.nodeValue = like.nodeValue; return; }
  for (const a of [...node.attributes]) if (!like.hasAttribute(a.name)) node.removeAttribute(a.name);
  for (const a of like.attributes) if (node.getAttribute(a.name) !== a.value) node.setAttribute(a.name, a.value);
  for (const h of handlers) if (node[h] !== like[h]) node[h] = like[h];
  const now = node.childNodes, wanted = [...like.childNodes];
  if (now.length !== wanted.length) return node.replaceChildren(...wanted);
  wanted.forEach((child, i) => morph(now[i], child));
}
// `parent`'s one child drawn as `like` (none when `like` is null).
function drawInto(parent, like) {
  if (!like) { if (parent.firstChild) parent.replaceChildren(); return; }
  if (parent.childNodes.length === 1 && parent.firstChild.nodeType === Node.ELEMENT_NODE) morph(parent.firstChild, like);
  else parent.replaceChildren(like);
}

// A name or a string as one word of the scenario language, read back exactly whatever it holds
// (spaces, quotes, a newline, non-ASCII): quoted, with the language's escapes.
const escapes = {"\"": "\\\"", "\\": "\\\\", "\n": "\\n", "\t": "\\t", "\r": "\\r", "\x1b": "\\e"};
const word = (s) => "\"" + String(s).replace(/[\x00-\x1f\x7f"\\]/g, (c) => escapes[c] ?? "\\x" + c.charCodeAt(0).toString(16).padStart(2, "0")) + "\"";
function proc(name) { return view && view.state.processes.find((p) => p.name === name); }
function appName(p) { return p.name === "SpringBoard" ? "springboard" : word(p.name); }
function nameOf(id) { const k = view.keyboards.find((k) => k.id === id); return k ? k.name : id; }

const pause = (ms) => new Promise((done) => setTimeout(done, ms));
// One request at a time, in the order of the presses: each is sent once the one before it has been
// answered, so each asks for the events since the last it took, and none is taken twice.
let inFlight = Promise.resolve();
function call(path, body, where) {
  const sent = inFlight.then(() => send(path, body, where));
  inFlight = sent.catch(() => {});
  return sent;
}
// Each press has a name of its own (this page's, and a number): a press sent again because its
// connection was closed before the answer came is run once by the server, answered as the first.
const pageName = Math.random().toString(36).slice(2, 12);
let presses = 0;
// Every request carries the token and the page's name: the server keeps a budget of requests for
// each page, so another page's flood never holds this one's presses back.
const asThisPage = {"X-Orvane-Token": token, "X-Orvane-Page": pageName};
// An error in the words a user reads, beside the control that caused it (`where`): without the
// scenario's file and line the page's lines were given.
const userWords = (error) => String(error).replace(/^(live|set-up):\d+: /, "");
function say(where, text, failed) { where.textContent = text; where.classList.toggle("failed", !!failed); }
async function send(path, body, where = $("error")) {
  if (body !== undefined) path += (path.includes("?") ? "&" : "?") + "press=" + pageName + "-" + ++presses;
  let r;
  for (let tries = 1; ; tries++) {
    try {
      r = await fetch(path + (path.includes("?") ? "&" : "?") + "since=" + next, {
        method: body === undefined ? "GET" : "POST", headers: {...asThisPage, "Content-Type": "text/plain"}, body});
    } catch (lost) {
      // No answer (the server gives up idle connections under load): sent again, a few times.
      if (tries === 20) { say(where, "The device does not answer: " + lost.message, true); throw lost; }
      await pause(20 * tries);
      continue;
    }
    // Too many requests: sent again after the delay the server names, so that no press is lost.
    if (r.status !== 429) break;
    await pause(1000 * (Number(r.headers.get("Retry-After")) || 1));
  }
  if (!r.ok) { say(where, r.status + " " + (await r.text()), true); return; }
  const answer = await r.json();
  take(answer);
  say(where, answer.ok ? "" : userWords(answer.error), !answer.ok);
  return answer;
}
function act(...lines) { return call("/api/act", lines.join("\n")); }
function actFrom(where, ...lines) { return call("/api/act", lines.join("\n"), where); }
function actOnApp(...lines) { if (!current) return; const app = appName(proc(current)); return act(...lines.map((l) => l.replaceAll("APP", app)), "run", "label " + app); }

let lastSeq = 0, scrollAsked = false, traceLines = 0;
const traceBlock = 25;
function take(answer) {
  view = answer; next = Math.max(next, answer.next);
  // New events join the trace at once, and it scrolls once (not a layout per event); an event an
  // earlier answer brought is not taken again.
  const fresh = answer.events.filter((e) => e.seq > lastSeq);
  if (fresh.length) lastSeq = fresh[fresh.length - 1].seq;
  // A page that missed events the server no longer keeps (it opened late, or fell behind) is given
  // the events that decide what the screen shows, and draws from those alone; the others only join
  // the trace.
  const folded = answer.screen || fresh;
  if (answer.screen) Object.assign(screen, foldEvents(answer.screen));
  else foldEvents(fresh, screen);
  for (const e of folded) {
    if (e.kind === "activator-register") listeners.add(e.name);
    if (e.kind === "activator-answer" && e.what === "title" && e.answer !== "(nil)") titles.set(e.name, textOf(e.answer));
  }
  // The trace keeps its last 500 lines (the saved session holds them all), so that drawing an answer
  // costs the same however long the session. They are held in blocks of 25, each a layer of its
  // own: a line leaving the top moves the blocks below it without painting them again, so an
  // answer paints the blocks it adds to and takes from, not the five hundred lines.
  if (fresh.length) {
    const trace = $("trace");
    for (const e of fresh) {
      if (!trace.lastElementChild || trace.lastElementChild.childElementCount === traceBlock) trace.append(el("div", undefined, "block"));
      trace.lastElementChild.append(traceLine(e));
    }
    traceLines += fresh.length;
    for (; traceLines > 500; traceLines--) {
      trace.firstElementChild.firstElementChild.remove();
      if (!trace.firstElementChild.childElementCount) trace.firstElementChild.remove();
    }
    // Scrolled when the frame is drawn: asking the height now would lay the page out twice.
    if (!scrollAsked) { scrollAsked = true; requestAnimationFrame(() => { scrollAsked = false; trace.scrollTop = trace.scrollHeight; }); }
  }
  if (!current || !proc(current)) { const apps = view.state.processes.filter((p) => p.name !== "SpringBoard"); current = (apps[apps.length - 1] || view.state.processes[0] || {}).name || null; }
  draw();
}
function traceLine(e) {
  const d = el("div"); d.append(el("span", "[" + e.process + "] ", ""), el("span", e.kind, "kind"));
  // A log line in its colours, as the report draws it; every other field with its control
  // characters escaped.
  for (const [k, v] of Object.entries(e)) {
    if (["seq","process","kind","file","line"].includes(k) || k.endsWith("Json")) continue;
    d.append(el("span", " " + k + "="), e.kind === "log" && k === "text" ? logText(v) : el("span", visible(v)));
  }
  d.title = "event " + e.seq + (e.line ? ", from line " + e.line : "");
  d.dataset.kind = e.kind;
  const changed = changedBy(e);
  if (changed) {
    d.classList.add("link");
    d.dataset.changed = changed;
    d.onclick = () => { const target = $(changed); target.scrollIntoView({block: "nearest"}); target.classList.remove("flash"); void target.offsetWidth; target.classList.add("flash"); };
  }
  return d;
}

// What on the page an event changed: the part a click on its trace line shows.
function changedBy(e) {
  if (e.kind === "input-mode" || e.kind === "label-override" || e.kind === "typed" || e.kind === "local-notification" || e.kind === "start") return "keyboard";
  if (e.kind === "label") return "keyboard";
  if (e.kind === "switcher-list" || e.kind === "switcher-hidden") return "keyboard";
  if (e.kind === "alert" || e.kind === "alert-dismissed") return "screen";
  if (e.kind === "unlocked") return "screen";
  if (e.kind === "file-write" && e.path === NAMES.settingsFile) return "settings";
  if (e.kind.startsWith("pref-") || e.kind === "keyboards" || e.kind === "version") return "devicepanel";
  if (e.kind.startsWith("activator-")) return "activator";
  return null;
}

let appsKey = "", listenersKey = "";
function draw() {
  document.body.dataset.drawn = Number(document.body.dataset.drawn || 0) + 1;  // for tests: a redraw happened
  const p = current && proc(current);
  setText($("appname"), p ? p.name : "");
  setText($("apptitle"), p ? p.name : "No application runs");
  const names = view.state.processes.map((q) => q.name);
  const key = JSON.stringify([names, current]);
  if (key !== appsKey) {
    appsKey = key;
    $("apps").replaceChildren(...names.map((n) => { const o = el("option", n); o.value = n; o.selected = n === current; return o; }));
  }
  // The keyboard and the switcher menu, drawn as the report draws them, from the events; the keys
  // that stay are kept, and only what changed on them is written.
  const shown = p && screen.processes.get(p.name);
  const keyboards = screen.keyboards.length ? screen.keyboards : view.keyboards;
  const kb = $("keyboard");
  if (!shown) $("field").classList.remove("focused");
  let board = null;
  if (shown) {
    const app = appName(p);
    keyHandlers = {
      letter: (ch, deviceKey) => { $("field").textContent += ch; if (typing.upper) { typing.upper = false; draw(); } if (deviceKey) act("tap " + app + " " + deviceKey, "run"); },
      shift: () => { typing.upper = !typing.upper; draw(); },
      digits: () => { typing.digits = !typing.digits; draw(); },
      erase: () => { $("field").textContent = [...$("field").textContent].slice(0, -1).join(""); },
      enter: () => { $("field").textContent += "\n"; },
      // A press held half a second is a long press (the menu); the key may be redrawn meanwhile,
      // so the press is the page's, not the key's.
      globeDown: () => { press.long = false; press.timer = setTimeout(() => { press.long = true; menuOpen = true; act("long-press " + app); }, 500); },
      globeUp: () => { clearTimeout(press.timer); if (!press.long) { menuOpen = false; actOnApp("tap APP globe"); } },
      space: () => { $("field").textContent += " "; act("tap " + app + " Space-Key", "run"); },
    };
    $("field").classList.toggle("focused", !!shown.shown);
    board = drawKeyboard(shown, keyboards, keyHandlers, typing);
    board.querySelector(".globe-key").id = "globe";
    board.querySelector(".space-bar").id = "space";
  }
  drawInto(kb, board);
  setData(kb, "layout", board ? board.dataset.layout : "");
  const menu = $("menu");
  setHidden(menu, !(menuOpen && shown && shown.switcher));
  // Choosing an entry switches to it (the scenario's `choose`); Escape or a click elsewhere closes it.
  drawInto(menu, menu.hidden ? null : drawSwitcherMenu(shown, keyboards, (id) => { menuOpen = false; actOnApp("choose APP " + word(id)); }));
  // Alerts: the newest on screen of this application or of SpringBoard, modal.
  const withAlert = [p, proc("SpringBoard")].find((q) => q && q.alertsOnScreen.length);
  setHidden($("modal"), !withAlert);
  if (withAlert) { const a = withAlert.alertsOnScreen[withAlert.alertsOnScreen.length - 1]; setText($("alerttitle"), a.title); setText($("alertmessage"), a.message); setText($("alertbutton"), a.button); $("alertbutton").onclick = () => act("dismiss " + appName(withAlert), "run"); }
  // The lock screen, until SpringBoard's first unlock.
  const springboard = screen.processes.get("SpringBoard");
  setHidden($("lock"), !(proc("SpringBoard") && springboard && springboard.locked));
  drawSettings();
  // Activator's listeners, from their registrations, by their titles (asked once of each).
  const listed = [...listeners];
  const untitled = listed.filter((n) => !titles.has(n) && !askedTitles.has(n));
  if (untitled.length && proc("SpringBoard")) { untitled.forEach((n) => askedTitles.add(n)); actFrom($("activator-said"), ...untitled.map((n) => "activator ask " + word(n) + " title")); }
  const shownListeners = JSON.stringify(listed.map((n) => [n, listenerTitle(n)]));
  if (listed.length && shownListeners !== listenersKey) {
    listenersKey = shownListeners;
    $("listeners").replaceChildren(...listed.map((n) => { const b = el("button", listenerTitle(n)); b.title = n; b.dataset.name = n; b.onclick = () => actFrom($("activator-said"), "activator fire " + word(n), "run"); return el("div", undefined, "").appendChild(b).parentNode; }));
  }
}

// A listener's button: the title Activator gives it; a listener that gives none (Activator then
// answers its name) by the last part of its name, readable ("net.varnholt.orvane.change-mode" is
// "Change mode"), its whole name in the button's tooltip.
function listenerTitle(name) {
  const title = titles.get(name);
  if (title && title !== name) return title;
  const last = name.split(".").pop().replaceAll("-", " ");
  return last.charAt(0).toUpperCase() + last.slice(1);
}

// A text of the trace as the text form writes it: quoted when it must be, with its escapes.
function textOf(v) { if (!/^".*"$/s.test(v)) return v; try { return JSON.parse(v); } catch { return v.slice(1, -1); } }

// The settings pane shows what the extension reads (the file's value where it has a reading, the
// documented default where it has none, marked so), and is drawn again only when that changes, so
// that a choice being made is not undone by an answer. Apply writes the keys changed from what it
// showed, one by one, and keeps every other key of the file as it is.
const modeNames = [[1, "Step through the selected"], [2, "Hide the selected from the menu"], [3, "Globe key silent"], [0, "The system's own"]];
const labelNames = [[1, "The system's label"], [2, "Always \u201cemoji\u201d"], [3, "\u201cemoji\u201d when the next is emoji"]];
let paneReads = null, paneKey = "";
function options(select, names, value, otherwise) {
  const list = names.some(([v]) => v === value) ? names : [...names, [value, value + ": " + otherwise]];
  select.replaceChildren(...list.map(([v, text]) => { const o = el("option", text); o.value = String(v); o.selected = v === value; return o; }));
}
function drawSettings() {
  const r = view.reads, ids = view.keyboards.map((k) => k.id);
  // The Keyboards field shows the enabled keyboards, until the user types there.
  if (document.activeElement !== $("kbds") && !$("kbds").dataset.edited) $("kbds").value = ids.map((id) => /[\s"\\]/.test(id) ? word(id) : id).join(" ");
  const key = JSON.stringify(r) + ids.join(" ");
  if (key === paneKey) return;
  paneReads = r; paneKey = key;
  $("enabled").checked = r.enabled;
  options($("mode"), modeNames, r.mode, "the system's own");
  options($("icon"), labelNames, r.icon, "the system's label");
  for (const k of ["enabled", "mode", "icon"]) $(k + "-default").hidden = !r.defaults.includes(k);
  const defaults = r.DefaultKeyboard && !ids.includes(r.DefaultKeyboard) ? [...ids, r.DefaultKeyboard] : ids;
  $("default").replaceChildren(el("option", "None"), ...defaults.map((id) => { const o = el("option", nameOf(id)); o.value = id; o.selected = id === r.DefaultKeyboard; return o; }));
  $("default").firstChild.value = "";
  $("selected").replaceChildren(...ids.map((id) => { const l = el("label"); const c = el("input"); c.type = "checkbox"; c.value = id; c.checked = r.SelectedKeyboards.includes(id); l.append(c, " " + nameOf(id)); return l; }));
}
// The lines that write what the pane's controls changed from what it showed, and what they say.
function settingsChanges() {
  const lines = [], said = [];
  // Each key said as "key: what it now is" (a label's name holds quotes of its own: none around it).
  const set = (k, value, text) => { lines.push("settings set " + k + " " + value); said.push(k + ": " + text); };
  if ($("enabled").checked !== paneReads.enabled) set("enabled", String($("enabled").checked), $("enabled").checked ? "on" : "off");
  for (const [k, names] of [["mode", modeNames], ["icon", labelNames]]) {
    const v = Number($(k).value);
    if (v !== paneReads[k]) set(k, String(v), (names.find(([n]) => n === v) || [v, String(v)])[1]);
  }
  const chosen = $("default").value;
  if (chosen !== (paneReads.DefaultKeyboard ?? "")) {
    if (chosen) set("DefaultKeyboard", word(chosen), nameOf(chosen));
    else { lines.push("settings remove DefaultKeyboard"); said.push("no default keyboard"); }
  }
  // The selection keeps the file's order and the keyboards no longer active; newly checked ones
  // come last, in the system's order.
  const checked = [...document.querySelectorAll("#selected input")].filter((c) => c.checked).map((c) => c.value);
  const ids = view.keyboards.map((k) => k.id);
  const kept = paneReads.SelectedKeyboards.filter((id) => !ids.includes(id) || checked.includes(id));
  const list = [...kept, ...checked.filter((id) => !kept.includes(id))];
  if (JSON.stringify(list) !== JSON.stringify(paneReads.SelectedKeyboards)) {
    set("SelectedKeyboards", "[" + list.map(word).join(", ") + "]", list.length ? list.map(nameOf).join(", ") : "none");
  }
  return {lines, said};
}

function closeMenu() { if (!menuOpen) return; menuOpen = false; draw(); }
// The computer's keyboard types on the phone's: a letter, a digit, space, Backspace and Enter press the
// key the phone shows for them (outside the side panes' fields).
document.addEventListener("keydown", (e) => {
  if (e.key === "Escape") return closeMenu();
  if (e.ctrlKey || e.metaKey || e.altKey || e.target.closest("input, select, textarea") || !$("lock").hidden) return;
  const keys = [...document.querySelectorAll("#keyboard button")];
  const special = {" ": "space-bar", Backspace: "delete", Enter: "return"}[e.key];
  let target = special ? keys.find((b) => b.classList.contains(special))
    : e.key.length === 1 && keys.find((b) => b.classList.contains("letter") && b.textContent.toLowerCase() === e.key.toLowerCase());
  // A key the layout does not show (a Latin letter on the Russian keyboard): the key at its place,
  // as a hardware keyboard types in that layout.
  const place = !special && !target ? placeOf(e.code) : null;
  if (place) {
    const row = document.querySelectorAll("#keyboard .row")[place[0]];
    const letters = row ? [...row.querySelectorAll(".letter")] : [];
    target = letters[place[1]];
    if (target && keyHandlers) {
      e.preventDefault();
      return keyHandlers.letter(typing.upper || e.shiftKey ? target.textContent.toUpperCase() : target.textContent, target.dataset.deviceKey || null);
    }
  }
  if (!target) {
    if (e.key.length === 1 && keys.length) say($("error"), "The " + $("keyboard").dataset.layout + " keyboard has no key for \u201c" + e.key + "\u201d.", true);
    return;
  }
  e.preventDefault();
  target.classList.add("pressed"); setTimeout(() => target.classList.remove("pressed"), 120);
  // The character typed (its case as typed), through the key's own press.
  if (!special && keyHandlers) return keyHandlers.letter(e.key, target.dataset.deviceKey || null);
  target.click();
});
// Where a key of the computer's keyboard is: its row and its place in the row of letters (the
// platform's hardware layouts put the same places' letters there: KeyQ is й on the Russian one).
const placeRows = [["KeyQ","KeyW","KeyE","KeyR","KeyT","KeyY","KeyU","KeyI","KeyO","KeyP","BracketLeft"],
                   ["KeyA","KeyS","KeyD","KeyF","KeyG","KeyH","KeyJ","KeyK","KeyL","Semicolon","Quote"],
                   ["KeyZ","KeyX","KeyC","KeyV","KeyB","KeyN","KeyM","Comma","Period"]];
function placeOf(code) {
  for (let r = 0; r < placeRows.length; r++) { const c = placeRows[r].indexOf(code); if (c >= 0) return [r, c]; }
  return null;
}
document.addEventListener("pointerdown", (e) => { if (menuOpen && !e.target.closest("#menu, #globe")) closeMenu(); });
$("apps").onchange = () => { current = $("apps").value; menuOpen = false; draw(); };
$("launch").onclick = () => {
  const id = $("newapp").value.trim();
  if (!id) return;
  // A bundle identifier is letters, digits, '-' and '.', in parts: never a space.
  if (!/^[A-Za-z0-9-]+(\.[A-Za-z0-9-]+)*$/.test(id)) { say($("apps-said"), "A bundle identifier is letters, digits, '-' and '.', such as com.example.notes: not \u201c" + id + "\u201d.", true); return; }
  current = id; actFrom($("apps-said"), "start " + word(id), "show-keyboard " + word(id), "run", "label " + word(id)); };
$("show").onclick = () => actOnApp("show-keyboard APP");
$("hide").onclick = () => current && act("hide-keyboard " + appName(proc(current)), "run");
// An application brought back shows the keyboard it showed when it was suspended.
const keyboardWhenSuspended = new Map();
$("suspend").onclick = () => {
  if (!current) return;
  const shown = screen.processes.get(current);
  keyboardWhenSuspended.set(current, !!(shown && shown.shown));
  act("suspend " + appName(proc(current)));
};
$("resume").onclick = () => {
  if (!current) return;
  const app = appName(proc(current));
  act("resume " + app, ...(keyboardWhenSuspended.get(current) ? ["show-keyboard " + app] : []), "run");
};
$("stop").onclick = () => { if (!current) return; const a = appName(proc(current)); current = null; act("stop " + a); };
$("unlock").onclick = () => act("unlock", "run");
$("lockdevice").onclick = () => { menuOpen = false; act("lock"); };
// The lock screen's clock: the computer's time.
function tick() { const now = new Date(); $("lockclock").textContent = now.toLocaleTimeString([], {hour: "numeric", minute: "2-digit"}); $("lockdate").textContent = now.toLocaleDateString([], {weekday: "long", month: "long", day: "numeric"}); $("clock").textContent = $("lockclock").textContent; }
tick(); setInterval(tick, 10000);
$("lockicon").replaceWith(drawIcon("lock", 34));
$("apply").onclick = async () => {
  const {lines, said} = settingsChanges();
  if (!lines.length) { say($("applied"), "Nothing changed: nothing written."); return; }
  const running = view.state.processes[0];
  if (running) lines.push("post " + appName(running) + " darwin " + NAMES.prefsChanged, "run");
  if (current) lines.push("label " + appName(proc(current)));
  const answer = await actFrom($("applied"), ...lines);
  if (answer && answer.ok) say($("applied"), "Wrote " + said.join("; ") + ".");
};
$("kbds").oninput = () => { $("kbds").dataset.edited = "1"; };
$("setkbds").onclick = async () => {
  delete $("kbds").dataset.edited;
  const answer = await actFrom($("kbds-said"), "keyboards " + $("kbds").value.trim());
  // A keyboard the locale service has no name for is taken as it is: said, not silent.
  const unnamed = answer && answer.ok ? answer.keyboards.filter((k) => !k.name || k.name === k.id).map((k) => k.id) : [];
  if (unnamed.length) say($("kbds-said"), "Set; the system knows no language for " + unnamed.join(", ") + ": it shows the identifier.", true);
};
$("setversion").onclick = () => actFrom($("version-said"), "version " + $("version").value.trim());
// The phone as a PNG, drawn by the browser itself: the phone's markup and the page's style in an
// SVG image, painted on a canvas at twice the size.
$("shot").onclick = async () => {
  const phone = $("phone"), box = phone.getBoundingClientRect();
  const style = await (await fetch("/live.css")).text();
  const markup = new XMLSerializer().serializeToString(phone);
  const svg = `<svg xmlns="http://www.w3.org/2000/svg" width="${box.width}" height="${box.height}"><foreignObject width="100%" height="100%">` +
    `<div xmlns="http://www.w3.org/1999/xhtml" style="font:14px system-ui,sans-serif;color:#222"><style><![CDATA[${style}]]></style>${markup}</div></foreignObject></svg>`;
  const image = new Image();
  image.src = "data:image/svg+xml;charset=utf-8," + encodeURIComponent(svg);
  await image.decode();
  const canvas = el("canvas");
  canvas.width = box.width * 2; canvas.height = box.height * 2;
  const context = canvas.getContext("2d");
  context.scale(2, 2);
  context.drawImage(image, 0, 0);
  const a = el("a"); a.href = URL.createObjectURL(await new Promise((done) => canvas.toBlob(done, "image/png"))); a.download = "phone.png"; a.click();
};
$("save").onclick = async () => {
  const r = await fetch("/api/scenario", {headers: asThisPage});
  const a = el("a"); a.href = URL.createObjectURL(await r.blob()); a.download = "live-session.scn"; a.click();
};
call("/api/view");
// What happens elsewhere (lines another client sends, another tab) reaches the page as it happens:
// the server names its event count each time it grows, and the page asks for what it has not seen.
// The count is looked at once the page's own requests are answered (their answers carry the events
// they made), so that a press costs one request, not two.
let told = 0, viewAsked = false;
function heard(count) {
  told = Math.max(told, count);
  if (told <= next || viewAsked) return;
  viewAsked = true;
  const looked = inFlight.then(() => (told > next ? send("/api/view") : undefined));
  inFlight = looked.catch(() => {});
  looked.finally(() => { viewAsked = false; });
}
// The stream is read with fetch, so that it carries the token in its header as every request does
// (an EventSource can send none): each "data:" line is the count. A stream that ends, or is closed,
// is opened again after a second.
(async () => {
  while (!phoneOnly) {
    try {
      const r = await fetch("/api/events", {headers: asThisPage});
      if (r.ok) {
        document.body.dataset.streams = Number(document.body.dataset.streams || 0) + 1;  // how often it was opened
        const reader = r.body.pipeThrough(new TextDecoderStream()).getReader();
        for (let pending = "";;) {
          const {value, done} = await reader.read();
          if (done) break;
          const lines = (pending + value).split("\n");
          pending = lines.pop();
          for (const line of lines) if (line.startsWith("data: ")) heard(Number(line.slice(6)));
        }
      }
    } catch (lost) { /* opened again below */ }
    await pause(1000);
  }
})();
