#!/usr/bin/env python3
"""The real runtime's costs against the fast runtime's, in wall time: each scenario below is run by
`orvane-sim run --quiet` and by `orvane-sim-objc run --quiet`, taking turns, ROUNDS times; the
medians are printed, with the cost per operation over its base (a device with SpringBoard and as
many applications, and nothing else) and the ratio of the two runtimes. With several build folders
(before and after a change) every command of every build takes its turn in each round.

usage: bench/real_runtime.py [--rounds N] BUILD_DIR...
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

ARGS = sys.argv[1:]
ROUNDS = 5
if ARGS[:1] == ["--rounds"]:
    ROUNDS, ARGS = int(ARGS[1]), ARGS[2:]
BUILDS = ARGS

SETUP = "keyboards en_US fr_FR\nsettings write {mode: 1, SelectedKeyboards: [en_US, fr_FR]}\nstart springboard\n"


def apps(n):
    return [f"com.example.app{i}" for i in range(n)]


def taps(n_apps, count):
    """`count` mode-1 globe taps, each run to the end, spread over `n_apps` running applications."""
    lines = [SETUP] + [f"start {a}\nshow-keyboard {a}\n" for a in apps(n_apps)] + ["run\n"]
    names = apps(n_apps)
    lines += [f"tap {names[i % n_apps]} globe\nrun\n" for i in range(count)]
    return "".join(lines)


def starts(count):
    return SETUP + "".join("start com.example.app\nstop com.example.app\n" for _ in range(count))


CASES = [
    # (name, scenario, operations, the base it is measured over)
    ("base: SpringBoard and one application", taps(1, 0), 0, None),
    ("200 x start and stop of an application", starts(200), 200, None),
    ("1,000 x a mode-1 tap and run, 1 application", taps(1, 1000), 1000, "base1"),
    ("base: SpringBoard and 10 applications", taps(10, 0), 0, None),
    ("1,000 x a tap, spread over 10 applications", taps(10, 1000), 1000, "base10"),
    ("base: SpringBoard and 100 applications", taps(100, 0), 0, None),
    ("1,000 x a tap, spread over 100 applications", taps(100, 1000), 1000, "base100"),
]


def main():
    folder = tempfile.mkdtemp()
    files = []
    for i, (_, text, _, _) in enumerate(CASES):
        path = os.path.join(folder, f"case{i}.scn")
        with open(path, "w") as f:
            f.write(text)
        files.append(path)
    commands = [(build, runtime, os.path.join(build, name))
                for build in BUILDS for runtime, name in (("fast", "orvane-sim"), ("objc", "orvane-sim-objc"))]
    times = {(i, build, runtime): [] for i in range(len(CASES)) for build, runtime, _ in commands}
    for _ in range(ROUNDS):
        for i, path in enumerate(files):
            for build, runtime, command in commands:
                started = time.perf_counter()
                done = subprocess.run([command, "run", "--quiet", path], capture_output=True)
                times[(i, build, runtime)].append(time.perf_counter() - started)
                if done.returncode != 0:
                    sys.exit(f"{command} failed on case {i}: {done.stderr.decode()[-500:]}")
    median = {key: statistics.median(values) * 1000 for key, values in times.items()}
    bases = {"base1": 0, "base10": 3, "base100": 5}
    for build in BUILDS:
        print(f"{build}: medians of {ROUNDS} rounds")
        print(f"{'case':50} {'fast ms':>9} {'objc ms':>9} {'fast/op':>9} {'objc/op':>9} {'ratio':>6}")
        for i, (name, _, operations, base) in enumerate(CASES):
            fast, objc = median[(i, build, "fast")], median[(i, build, "objc")]
            line = f"{name:50} {fast:9.1f} {objc:9.1f}"
            if operations:
                b = bases.get(base, 0)
                fast_op = (fast - median[(b, build, "fast")]) / operations
                objc_op = (objc - median[(b, build, "objc")]) / operations
                line += f" {fast_op:9.3f} {objc_op:9.3f} {objc_op / fast_op:6.2f}"
            print(line)


if __name__ == "__main__":
    main()
