#!/usr/bin/env python3
"""Every shipped scenario, and the tour, on both runtimes: the fast one (orvane-sim, every process
inside it) and GCC's Objective-C runtime (orvane-sim-objc: every simulated process an OS process of
its own that maps the extension's shared object). Their traces must be the same, event for event,
and so must their exit statuses; a mismatch fails and prints the first differing event.

usage: runtime_conformance.py ORVANE_SIM ORVANE_SIM_OBJC SCENARIO_FOLDER [--without-tour]
"""
import json
import pathlib
import re
import subprocess
import sys

def trace(command, scenario):
    arguments = ["tour", "--trace=json"] if scenario == "tour" else ["run", "--trace=json", str(scenario)]
    run = subprocess.run([command] + arguments, capture_output=True, text=True, timeout=120)
    events = [json.loads(line) for line in run.stdout.splitlines() if line.strip()]
    # The summary's time is the one field that may differ between two runs of the same scenario.
    for event in events:
        event.pop("seconds", None)
    return run.returncode, events


def starts(scenario):
    return sum(1 for line in scenario.read_text().splitlines() if re.match(r"\s*start\s", line))


def compare(name, fast, real, failures):
    fast_status, fast_events = trace(fast, name)
    real_status, real_events = trace(real, name)
    if fast_status != real_status:
        failures.append(f"{name}: exit status {fast_status} on the fast runtime, {real_status} on the real one")
    for i, (a, b) in enumerate(zip(fast_events, real_events)):
        if a != b:
            failures.append(f"{name}: event {i + 1} differs\n  fast: {json.dumps(a)}\n  objc: {json.dumps(b)}")
            return
    if len(fast_events) != len(real_events):
        failures.append(f"{name}: {len(fast_events)} events on the fast runtime, {len(real_events)} on the real one")
    elif len(fast_events) < 3:
        failures.append(f"{name}: only {len(fast_events)} events: nothing ran")


def main():
    fast, real, folder = sys.argv[1:4]
    with_tour = "--without-tour" not in sys.argv[4:]
    scenarios = sorted(pathlib.Path(folder).glob("*.scn"))
    failures = []
    for scenario in scenarios:
        compare(scenario, fast, real, failures)
    if with_tour:
        compare("tour", fast, real, failures)
    several = sum(1 for scenario in scenarios if starts(scenario) > 1)
    print(f"{len(scenarios)} scenarios ({several} of them with several processes){' and the tour' if with_tour else ''}, "
          f"on both runtimes: "
          f"{len(failures)} differ")
    for failure in failures:
        print("FAIL", failure)
    if not scenarios:
        print("FAIL no scenario found")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
