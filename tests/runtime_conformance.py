#!/usr/bin/env python3
"""Every shipped scenario on both runtimes: the fast one (orvane-sim) and GCC's Objective-C runtime
with the extension mapped as a shared object (orvane-sim-objc). Their traces must be the same, event
for event; a mismatch fails and prints the first differing event.

The real runtime holds one simulated process per OS process, and separate OS processes are not built
yet: a scenario that starts a second process stops there on the real runtime, with the message that
says so. Those scenarios are counted and named, and must be exactly the ones that start more than one
process; every other scenario must run and match.

usage: runtime_conformance.py ORVANE_SIM ORVANE_SIM_OBJC SCENARIO_FOLDER
"""
import json
import pathlib
import re
import subprocess
import sys

ONE_PROCESS = "holds one simulated process"


def trace(command, scenario):
    run = subprocess.run([command, "run", "--trace=json", str(scenario)], capture_output=True, text=True, timeout=120)
    events = [json.loads(line) for line in run.stdout.splitlines() if line.strip()]
    # The summary's time is the one field that may differ between two runs of the same scenario.
    for event in events:
        event.pop("seconds", None)
    return run.returncode, events


def starts(scenario):
    return sum(1 for line in scenario.read_text().splitlines() if re.match(r"\s*start\s", line))


def main():
    fast, real, folder = sys.argv[1:4]
    scenarios = sorted(pathlib.Path(folder).glob("*.scn"))
    compared, waiting, failures = [], [], []
    for scenario in scenarios:
        fast_status, fast_events = trace(fast, scenario)
        real_status, real_events = trace(real, scenario)
        stopped = [e for e in real_events if e.get("kind") == "bad-line" and ONE_PROCESS in e.get("message", "")]
        if stopped:
            waiting.append(scenario.name)
            if starts(scenario) < 2:
                failures.append(f"{scenario.name}: stopped for a second process, yet it starts only one")
            continue
        compared.append(scenario.name)
        if fast_status != real_status:
            failures.append(f"{scenario.name}: exit status {fast_status} on the fast runtime, {real_status} on the real one")
        for i, (a, b) in enumerate(zip(fast_events, real_events)):
            if a != b:
                failures.append(f"{scenario.name}: event {i + 1} differs\n  fast: {json.dumps(a)}\n  objc: {json.dumps(b)}")
                break
        else:
            if len(fast_events) != len(real_events):
                failures.append(f"{scenario.name}: {len(fast_events)} events on the fast runtime, {len(real_events)} on the real one")
    for scenario in scenarios:
        if scenario.name not in waiting and starts(scenario) > 1:
            failures.append(f"{scenario.name}: starts several processes yet ran on the real runtime")
    print(f"{len(compared)} scenarios gave the same trace on both runtimes; {len(waiting)} wait for one OS process per "
          f"simulated process: {', '.join(waiting)}")
    for failure in failures:
        print("FAIL", failure)
    if not compared:
        print("FAIL nothing was compared")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
