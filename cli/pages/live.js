"use strict";
// The live page: it draws the device from the server's view and sends each press as scenario lines.
// Everything it shows comes from the server as data and is put on the page as text (textContent),
// never as markup, so no value can run or break it.
// The token comes in the page (the server put it there for whoever gave it); the address loses it at
// once, so that it stays out of the history and of a screenshot, and a reload finds it in the
// cookie the server set.
const token = document.querySelector('meta[name="orvane-token"]').content;
if (location.search) history.replaceState(null, "", "/");
let next = 0, view = null, current = null, events = [], menuOpen = false;
const press = {timer: null, long: false};
const $ = (id) => document.getElementById(id);
const el = (tag, text, cls) => { const e = document.createElement(tag); if (text !== undefined) e.textContent = text; if (cls) e.className = cls; return e; };

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
function call(path, body) {
  const sent = inFlight.then(() => send(path, body));
  inFlight = sent.catch(() => {});
  return sent;
}
// Each press has a name of its own (this page's, and a number): a press sent again because its
// connection was closed before the answer came is run once by the server, answered as the first.
const pageName = Math.random().toString(36).slice(2, 12);
let presses = 0;
async function send(path, body) {
  if (body !== undefined) path += (path.includes("?") ? "&" : "?") + "press=" + pageName + "-" + ++presses;
  let r;
  for (let tries = 1; ; tries++) {
    try {
      r = await fetch(path + (path.includes("?") ? "&" : "?") + "since=" + next, {
        method: body === undefined ? "GET" : "POST", headers: {"X-Orvane-Token": token, "Content-Type": "text/plain"}, body});
    } catch (lost) {
      // No answer (the server gives up idle connections under load): sent again, a few times.
      if (tries === 20) { $("error").textContent = "the device does not answer: " + lost.message; throw lost; }
      await pause(20 * tries);
      continue;
    }
    // Too many requests: sent again after the delay the server names, so that no press is lost.
    if (r.status !== 429) break;
    await pause(1000 * (Number(r.headers.get("Retry-After")) || 1));
  }
  if (!r.ok) { $("error").textContent = r.status + " " + (await r.text()); return; }
  const answer = await r.json();
  take(answer);
  $("error").textContent = answer.ok ? "" : answer.error;
  return answer;
}
function act(...lines) { return call("/api/act", lines.join("\n")); }
function actOnApp(...lines) { if (!current) return; const app = appName(proc(current)); return act(...lines.map((l) => l.replaceAll("APP", app)), "run", "label " + app); }

let lastSeq = 0;
function take(answer) {
  view = answer; next = Math.max(next, answer.next);
  // New events join the trace at once, and it scrolls once (not a layout per event); an event an
  // earlier answer brought is not taken again.
  const lines = document.createDocumentFragment();
  for (const e of answer.events) { if (e.seq <= lastSeq) continue; lastSeq = e.seq; events.push(e); lines.append(traceLine(e)); }
  if (answer.events.length) { $("trace").append(lines); $("trace").scrollTop = $("trace").scrollHeight; }
  if (!current || !proc(current)) { const apps = view.state.processes.filter((p) => p.name !== "SpringBoard"); current = (apps[apps.length - 1] || view.state.processes[0] || {}).name || null; }
  draw();
}
function traceLine(e) {
  const d = el("div"); d.append(el("span", "[" + e.process + "] ", ""), el("span", e.kind, "kind"));
  for (const [k, v] of Object.entries(e)) if (!["seq","process","kind","file","line"].includes(k) && !k.endsWith("Json")) d.append(el("span", " " + k + "=" + v));
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
  if (e.kind === "file-write" && String(e.path).endsWith("net.varnholt.orvane.plist")) return "settings";
  if (e.kind.startsWith("pref-") || e.kind === "keyboards" || e.kind === "version") return "devicepanel";
  if (e.kind.startsWith("activator-")) return "activator";
  return null;
}

function draw() {
  document.body.dataset.drawn = Number(document.body.dataset.drawn || 0) + 1;  // for tests: a redraw happened
  const p = current && proc(current);
  $("appname").textContent = p ? p.name : "";
  $("apptitle").textContent = p ? p.name : "No application runs";
  const apps = $("apps"); apps.replaceChildren(...view.state.processes.map((q) => { const o = el("option", q.name); o.value = q.name; o.selected = q.name === current; return o; }));
  // The keyboard and the switcher menu, drawn as the report draws them, from the events.
  const screen = foldEvents(events);
  const shown = p && screen.processes.get(p.name);
  const kb = $("keyboard");
  kb.replaceChildren();
  kb.dataset.layout = "";
  if (shown) {
    const app = appName(p);
    const board = drawKeyboard(shown, screen.keyboards.length ? screen.keyboards : view.keyboards, {
      letter: (ch, deviceKey) => { $("field").textContent += ch; if (deviceKey) act("tap " + app + " " + deviceKey, "run"); },
      // A press held half a second is a long press (the menu); the key may be redrawn meanwhile,
      // so the press is the page's, not the key's.
      globeDown: () => { press.long = false; press.timer = setTimeout(() => { press.long = true; menuOpen = true; act("long-press " + app); }, 500); },
      globeUp: () => { clearTimeout(press.timer); if (!press.long) { menuOpen = false; actOnApp("tap APP globe"); } },
      space: () => { $("field").textContent += " "; act("tap " + app + " Space-Key", "run"); },
    });
    board.querySelector(".globe-key").id = "globe";
    board.querySelector(".space-bar").id = "space";
    kb.dataset.layout = board.dataset.layout;
    kb.append(board);
  }
  const menu = $("menu");
  menu.replaceChildren();
  menu.hidden = !(menuOpen && shown && shown.switcher);
  if (!menu.hidden) menu.append(drawSwitcherMenu(shown, screen.keyboards.length ? screen.keyboards : view.keyboards, () => { menuOpen = false; draw(); }));
  // Alerts: the newest on screen of this application or of SpringBoard, modal.
  const withAlert = [p, proc("SpringBoard")].find((q) => q && q.alertsOnScreen.length);
  $("modal").hidden = !withAlert;
  if (withAlert) { const a = withAlert.alertsOnScreen[withAlert.alertsOnScreen.length - 1]; $("alerttitle").textContent = a.title; $("alertmessage").textContent = a.message; $("alertbutton").textContent = a.button; $("alertbutton").onclick = () => act("dismiss " + appName(withAlert), "run"); }
  // The lock screen, until SpringBoard's first unlock.
  const springboard = screen.processes.get("SpringBoard");
  $("lock").hidden = !(proc("SpringBoard") && springboard && springboard.locked);
  // Settings, as the file holds them.
  const s = view.state.settings || {};
  $("enabled").checked = s.enabled === true || s.enabled === 1; $("mode").value = String(s.mode ?? 0); $("icon").value = String(s.icon ?? 0);
  const ids = view.keyboards.map((k) => k.id);
  $("default").replaceChildren(el("option", "(none)"), ...ids.map((id) => { const o = el("option", nameOf(id)); o.value = id; o.selected = id === s.DefaultKeyboard; return o; }));
  const selected = Array.isArray(s.SelectedKeyboards) ? s.SelectedKeyboards : [];
  $("selected").replaceChildren(...ids.map((id) => { const l = el("label"); const c = el("input"); c.type = "checkbox"; c.value = id; c.checked = selected.includes(id); l.append(c, " " + nameOf(id)); return l; }));
  if (document.activeElement !== $("kbds")) $("kbds").value = ids.join(" ");
  // Activator's listeners, from their registrations.
  const names = [...new Set(events.filter((e) => e.kind === "activator-register").map((e) => e.name))];
  if (names.length) $("listeners").replaceChildren(...names.map((n) => { const b = el("button", n); b.onclick = () => act("activator fire " + word(n), "run"); return el("div", undefined, "").appendChild(b).parentNode; }));
}

$("apps").onchange = () => { current = $("apps").value; menuOpen = false; draw(); };
$("launch").onclick = () => { const id = $("newapp").value.trim(); if (!id) return; current = id; act("start " + word(id), "show-keyboard " + word(id), "run", "label " + word(id)); };
$("show").onclick = () => actOnApp("show-keyboard APP");
$("hide").onclick = () => current && act("hide-keyboard " + appName(proc(current)), "run");
$("suspend").onclick = () => current && act("suspend " + appName(proc(current)));
$("resume").onclick = () => current && act("resume " + appName(proc(current)), "run");
$("stop").onclick = () => { if (!current) return; const a = appName(proc(current)); current = null; act("stop " + a); };
$("unlock").onclick = () => act("unlock", "run");
$("apply").onclick = () => {
  const sel = [...document.querySelectorAll("#selected input:checked")].map((c) => word(c.value));
  let v = "{enabled: " + $("enabled").checked + ", mode: " + Number($("mode").value) + ", icon: " + Number($("icon").value) + ", SelectedKeyboards: [" + sel.join(", ") + "]";
  if ($("default").value && $("default").value !== "(none)") v += ", DefaultKeyboard: " + word($("default").value);
  const running = view.state.processes[0];
  const lines = ["settings write " + v + "}"];
  if (running) lines.push("post " + appName(running) + " darwin net.varnholt.orvane/prefsChanged", "run");
  if (current) lines.push("label " + appName(proc(current)));
  act(...lines);
};
$("setkbds").onclick = () => act("keyboards " + $("kbds").value.trim());
$("setversion").onclick = () => act("version " + $("version").value.trim());
$("save").onclick = async () => {
  const r = await fetch("/api/scenario", {headers: {"X-Orvane-Token": token}});
  const a = el("a"); a.href = URL.createObjectURL(await r.blob()); a.download = "live-session.scn"; a.click();
};
call("/api/view");
