#!/usr/bin/env python3
"""Random scenarios on both runtimes, their traces compared event for event.

Each scenario is drawn from the language's commands with arguments that make sense on the device
at that point (a process is started before it is tapped, an application is suspended before it is
resumed), so that most of it runs rather than stopping at a bad line. Both commands run it with
--trace=json; the exit statuses and every event must be the same. A difference, or a report of a
sanitizer (AddressSanitizer, UndefinedBehaviorSanitizer, LeakSanitizer) on either side, is made
smaller line by line while it still shows, and kept as a crash input in CRASHES; ctest replays
that folder on both runtimes (tests/runtime_conformance.py).

Coverage is what the traces show: each distinct event kind with its field names and the values of
its few enumerated fields (status, reason, error, handled, format, center). The run stops at
--seconds, or once --plateau scenarios in a row have shown nothing new.

usage: differential.py ORVANE_SIM ORVANE_SIM_OBJC [--seconds S] [--plateau N] [--seed K] [--crashes DIR]
"""
import argparse
import hashlib
import json
import pathlib
import random
import subprocess
import sys
import tempfile
import time

KEYBOARDS = ["en_US", "fr_FR", "de_DE", "ko_KR", "emoji@sw=Emoji", "en_US@hw=US;sw=QWERTY", "ja_JP@sw=Kana"]
APPS = ["com.example.a", "com.example.b"]
LISTENERS = ["net.varnholt.orvane.change-mode", "net.varnholt.orvane.change-autocorrection",
             "net.varnholt.orvane.change-keyboard"]
QUESTIONS = ["title", "description", "group", "icon", "small-icon", "requires-assignment", "event-modes",
             "abort", "deactivate", "other-handled"]
ENUMERATED = ("status", "reason", "error", "handled", "format", "center")
SANITIZERS = ("AddressSanitizer", "LeakSanitizer", "runtime error:", "UndefinedBehaviorSanitizer")


class Draw:
    """One scenario, line by line, keeping track of what runs so that each line can be run."""

    def __init__(self, rng):
        self.rng = rng
        self.running = set()
        self.suspended = set()
        self.keyboards = ["en_US", "fr_FR"]
        self.lines = [f"keyboards {' '.join(self.keyboards)}"]

    def some_keyboards(self):
        return self.rng.sample(KEYBOARDS, self.rng.randint(1, 4))

    def settings(self):
        keys = []
        if self.rng.random() < 0.8:
            keys.append(f"mode: {self.rng.choice([1, 1, 2, 3, 0, 7])}")
        if self.rng.random() < 0.5:
            keys.append(f"icon: {self.rng.choice([1, 2, 3])}")
        if self.rng.random() < 0.2:
            keys.append("enabled: " + self.rng.choice(["true", "false", '"NO"']))
        if self.rng.random() < 0.8:
            chosen = self.rng.sample(KEYBOARDS, self.rng.randint(0, 3))
            keys.append("SelectedKeyboards: [" + ", ".join(f'"{k}"' for k in chosen) + "]")
        if self.rng.random() < 0.3:
            keys.append(f'DefaultKeyboard: "{self.rng.choice(KEYBOARDS)}"')
        return "{" + ", ".join(keys) + "}"

    def process(self):
        return self.rng.choice(sorted(self.running))

    def application(self, among):
        apps = sorted(among - {"springboard"})
        return self.rng.choice(apps) if apps else None

    def line(self):
        r = self.rng
        choices = [
            (3, lambda: f"settings {r.choice(['write', 'write', 'write-xml'])} {self.settings()}"),
            (1, lambda: r.choice(["settings delete", 'settings bytes "not a list"'])),
            (2, lambda: "post springboard darwin net.varnholt.orvane/prefsChanged" if "springboard" in self.running
             else None),
            (1, lambda: f"activator {r.choice(['installed', 'installed', 'absent'])}"),
            (1, lambda: f"keyboards {' '.join(self.some_keyboards())}"),
            (1, lambda: f"version {r.choice(['793', '1240.1', '1348'])}"),
            (1, lambda: f"keyboard-methods {r.choice(['plain', 'context', 'both', 'version'])}"),
            (1, lambda: f"pref set com.apple.Preferences KeyboardAutocorrection {r.choice(['true', 'false', '0'])}"),
            (1, lambda: f"fault {r.choice(['write', 'flush', 'rename', 'read-only', 'full'])} 1"),
            (4, self.start),
            (1, self.stop),
            (1, self.end),
            (1, self.suspend_or_resume),
            (4, lambda: f"show-keyboard {self.process()}" if self.running else None),
            (1, lambda: f"hide-keyboard {self.process()}" if self.running else None),
            (6, lambda: f"tap {self.process()} {r.choice(['globe', 'globe', 'q', 'nowhere'])}" if self.running
             else None),
            (2, lambda: f"next-keyboard {self.process()}" if self.running else None),
            (2, lambda: f"switcher {self.process()}" if self.running else None),
            (2, lambda: f"label {self.process()}" if self.running else None),
            (1, lambda: "unlock" if "springboard" in self.running else None),
            (1, lambda: f"dismiss {self.process()}" if self.running else None),
            (3, lambda: f"activator fire {r.choice(LISTENERS + self.keyboards)}" if "springboard" in self.running
             else None),
            (1, lambda: f"activator ask {r.choice(LISTENERS + self.keyboards)} {r.choice(QUESTIONS)}"
             if "springboard" in self.running else None),
            (6, lambda: "run"),
            (1, lambda: "state"),
        ]
        while True:
            made = r.choices([c for _, c in choices], weights=[w for w, _ in choices])[0]()
            if made:
                return made

    def start(self):
        name = self.rng.choice(["springboard"] + APPS)
        self.running.add(name)
        return f"start {name}"

    def stop(self):
        if not self.running:
            return None
        name = self.process()
        self.running.discard(name)
        self.suspended.discard(name)
        return f"stop {name}"

    def end(self):
        if not self.running:
            return None
        name = self.process()
        self.running.discard(name)
        self.suspended.discard(name)
        return f"{self.rng.choice(['kill', 'crash'])} {name}"

    def suspend_or_resume(self):
        if self.suspended and self.rng.random() < 0.6:
            name = self.rng.choice(sorted(self.suspended))
            self.suspended.discard(name)
            return f"resume {name}"
        name = self.application(self.running - self.suspended)
        if name is None:
            return None
        self.suspended.add(name)
        return f"suspend {name}"

    def scenario(self, length):
        for _ in range(length):
            made = self.line()
            if made.startswith("keyboards "):
                self.keyboards = made.split()[1:]
            self.lines.append(made)
        return "\n".join(self.lines) + "\n"


def trace(command, text):
    with tempfile.NamedTemporaryFile("w", suffix=".scn", delete=False) as f:
        f.write(text)
    try:
        run = subprocess.run([command, "run", "--trace=json", f.name], capture_output=True, text=True, timeout=120)
    finally:
        pathlib.Path(f.name).unlink()
    events = []
    for line in run.stdout.splitlines():
        if line.strip():
            event = json.loads(line)
            event.pop("seconds", None)
            event.pop("file", None)
            events.append(event)
    return run.returncode, events, run.stderr


def verdict(fast, real, text):
    """What is wrong with this scenario (a difference or a sanitizer's report), or None; and the
    fast runtime's events."""
    fast_status, fast_events, fast_err = trace(fast, text)
    real_status, real_events, real_err = trace(real, text)
    for name, err in (("fast", fast_err), ("objc", real_err)):
        for mark in SANITIZERS:
            if mark in err:
                return f"sanitizer ({name}): {mark}", fast_events
    if fast_status != real_status:
        return f"exit status {fast_status} against {real_status}", fast_events
    for i, (a, b) in enumerate(zip(fast_events, real_events)):
        if a != b:
            return f"event {i + 1} differs: {json.dumps(a)} against {json.dumps(b)}", fast_events
    if len(fast_events) != len(real_events):
        return f"{len(fast_events)} events against {len(real_events)}", fast_events
    return None, fast_events


def signatures(events):
    out = set()
    for event in events:
        fields = event.get("fields", event)
        enumerated = tuple((k, str(fields.get(k))) for k in ENUMERATED if k in fields)
        out.add((event.get("kind"), tuple(sorted(fields)), enumerated))
    return out


def smaller(fast, real, text, wrong):
    """The scenario less every line it can lose while something is still wrong (of the same kind)."""
    kind = wrong.split(":")[0].split(" ")[0]
    lines = text.splitlines()
    i = 1  # the keyboards line stays
    while i < len(lines):
        candidate = lines[:i] + lines[i + 1:]
        found, _ = verdict(fast, real, "\n".join(candidate) + "\n")
        if found is not None and found.split(":")[0].split(" ")[0] == kind:
            lines = candidate
        else:
            i += 1
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("fast")
    parser.add_argument("real")
    parser.add_argument("--seconds", type=float, default=300)
    parser.add_argument("--plateau", type=int, default=300)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--length", type=int, default=30)
    parser.add_argument("--crashes", default=str(pathlib.Path(__file__).parent / "crashes" / "differential"))
    options = parser.parse_args()
    crashes = pathlib.Path(options.crashes)
    rng = random.Random(options.seed)
    seen = set()
    executions = 0
    since_new = 0
    found = 0
    start = time.monotonic()
    while time.monotonic() - start < options.seconds and since_new < options.plateau:
        text = Draw(rng).scenario(rng.randint(5, options.length))
        executions += 1
        wrong, events = verdict(options.fast, options.real, text)
        new = signatures(events) - seen
        seen |= new
        since_new = 0 if new else since_new + 1
        if wrong is not None:
            text = smaller(options.fast, options.real, text, wrong)
            crashes.mkdir(parents=True, exist_ok=True)
            name = "diff-" + hashlib.sha1(text.encode()).hexdigest()[:12] + ".scn"
            header = "# Found by fuzz/differential.py: " + wrong.splitlines()[0][:300] + "\n"
            (crashes / name).write_text(header + text)
            found += 1
            print(f"FOUND {crashes / name}: {wrong}", flush=True)
        if executions % 50 == 0:
            print(f"{executions} scenarios, {len(seen)} signatures, {since_new} since the last new one, "
                  f"{time.monotonic() - start:.0f} s", flush=True)
    reason = "plateau" if since_new >= options.plateau else "time"
    print(f"seed {options.seed}: {executions} scenarios in {time.monotonic() - start:.0f} s, {len(seen)} signatures, "
          f"stopped at the {reason}; {found} kept in {crashes}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
