#!/usr/bin/env bash
# Every figure of docs/performance.md: instructions per operation (callgrind, the count at 2N minus
# the count at N, over N), each against its floor; CPU time of every operation taking turns within
# rounds (median and spread of the per-round ratios); growth with the keyboards and the file's size;
# peak memory over long runs of the driver and of orvane-sim --quiet. With --test-command, only the
# test command's phases from a fresh clone.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# The README's test command from a fresh clone of this checkout's commit, each phase timed: minutes
# of both cores, so only when asked, and then alone (scripts/bench.sh --test-command).
if [ "${1:-}" = "--test-command" ]; then
  echo "== the test command (bash .ci/run) from a fresh clone, each phase"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  git clone -q . "$work/clone"
  (cd "$work/clone" && python3 - <<'PY'
import subprocess, sys, time
start = time.monotonic()
phase, began, phases = None, start, []
run = subprocess.Popen(["bash", ".ci/run"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
said = []
for line in run.stdout:
    said = (said + [line])[-60:]
    if line.startswith("== "):
        now = time.monotonic()
        if phase:
            phases.append((phase, now - began))
        phase, began = line[3:].strip(), now
phases.append((phase, time.monotonic() - began))
for name, seconds in phases:
    print(f"{name}: {seconds:.0f} s")
print(f"whole: {time.monotonic() - start:.0f} s, exit {run.wait()}")
if run.returncode != 0:
    print("".join(said), end="")
sys.exit(run.returncode)
PY
  )
  exit 0
fi
command -v valgrind >/dev/null || { sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"; $sudo apt-get install -y -qq valgrind; }
scripts/build.sh build >/dev/null
drive=build/bench/orvane_keystrokes

refs() { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 | awk '/refs/ {gsub(",","",$4); print $4}'; }
count() { refs "$drive" "$@"; }
per_by() {  # per_by COUNTER MODE N [ARG]: one operation, as the counter counts a run
  local counter=$1 mode=$2 n=$3 arg=${4:-}
  local a b
  a=$("$counter" "$mode" "$n" $arg)
  b=$("$counter" "$mode" $((2 * n)) $arg)
  echo $(((b - a) / n))
}
per() { per_by count "$@"; }  # per MODE N [ARG]: instructions of one operation

echo "== instructions per operation (callgrind; file layer on its openat-per-folder walk, see docs)"
declare -A ir
for mode in floor system extension label-floor label-system label tap-floor tap tap-system pref-write; do
  ir[$mode]=$(per "$mode" 1000)
  echo "$mode ${ir[$mode]}"
done
awk -v f="${ir[floor]}" -v s="${ir[system]}" -v e="${ir[extension]}" -v lf="${ir[label-floor]}" \
    -v ls="${ir[label-system]}" -v l="${ir[label]}" -v tf="${ir[tap-floor]}" -v t="${ir[tap]}" \
    -v ts="${ir[tap-system]}" -v pw="${ir[pref-write]}" 'BEGIN {
  printf "keystroke overhead / floor:         %.2f\n", (e - s) / f
  printf "label overhead / label floor:       %.2f\n", (l - ls) / lf
  printf "tap own share / two floors:         %.2f  (tap - tap without the extension - preference write)\n", (t - ts - pw) / tf
}'

echo "== a message send that its class's cache answers, on both runtimes (N = 20,000)"
# send: the whole send; send-imp: the implementation it finds, called as the send calls it;
# send-floor: the method's function through a pointer, as the platform calls an implementation.
for runtime in "" _gnu; do
  declare -A sends=()
  driver_count() { refs "build/bench/orvane_keystrokes$runtime" "$@"; }
  for mode in send send-imp send-floor; do sends[$mode]=$(per_by driver_count "$mode" 20000); done
  echo "orvane_keystrokes$runtime: send ${sends[send]}  send-imp ${sends[send-imp]}  send-floor ${sends[send-floor]}" \
    " the lookup (send - send-imp) $((sends[send] - sends[send-imp]))  over a call through a pointer $((sends[send] - sends[send-floor]))"
done

echo "== against the lean floor: plain system calls and a lean binary reader (bench/lean_floor.h)"
for mode in lean-floor lean-label-floor lean-tap-floor; do
  ir[$mode]=$(per "$mode" 1000)
  echo "$mode ${ir[$mode]}"
done
ir[reload]=$(per reload 200 64); ir[reload-floor]=$(per reload-floor 200 64); ir[lean-reload-floor]=$(per lean-reload-floor 200 64)
echo "reload 64x64 ${ir[reload]}  reload-floor ${ir[reload-floor]}  lean-reload-floor ${ir[lean-reload-floor]}"
# The device's own reread (file layer and reader) against the lean one; then each operation's
# overhead with the device's reread replaced by the lean one, against the lean floor.
awk -v f="${ir[floor]}" -v lf="${ir[lean-floor]}" -v bf="${ir[label-floor]}" -v lbf="${ir[lean-label-floor]}" \
    -v tf="${ir[tap-floor]}" -v ltf="${ir[lean-tap-floor]}" -v rf="${ir[reload-floor]}" -v lrf="${ir[lean-reload-floor]}" \
    -v s="${ir[system]}" -v e="${ir[extension]}" -v ls="${ir[label-system]}" -v l="${ir[label]}" \
    -v t="${ir[tap]}" -v ts="${ir[tap-system]}" -v pw="${ir[pref-write]}" -v r="${ir[reload]}" 'BEGIN {
  printf "device reread / lean floor:         keystroke %.2f  label %.2f  tap %.2f  reload 64 %.2f\n", f / lf, bf / lbf, tf / ltf, rf / lrf
  printf "on a lean platform / lean floor:    keystroke %.2f  label %.2f  tap %.2f  reload 64 %.2f\n", \
    (e - s - f + lf) / lf, (l - ls - bf + lbf) / lbf, (t - ts - pw - tf + ltf) / ltf, (r - rf + lrf) / lrf
}'

echo "== reload with N selected of N active (instructions), against its floor"
for n in 1 4 16 64 256; do
  r=$(per reload 200 "$n"); f=$(per reload-floor 200 "$n")
  awk -v n="$n" -v r="$r" -v f="$f" 'BEGIN { printf "n=%-4d reload %8d  floor %8d  ratio %.2f  beyond the floor per (selected x active) pair %.1f\n", n, r, f, r / f, (r - f) / (n * n) }'
done

echo "== growth with N keyboards selected of N active: the extension's own share, fitted exponent over N"
# The label, the switcher list and a tap each reload the settings, and a reload fetches and walks the
# active input modes once per selected keyboard, as the extension must: that share is taken out, as
# the reloads of the very run cost (Settings::reloadSettings, inclusive), not as a reload measured
# apart, whose count differs by a percent from run to run with where the heap put the strings (at
# 1,024 keyboards a percent of the reload is more than the switcher list's whole share). What is left
# is the extension's own work on the two lists.
less_reloads() {  # MODE N [ARG]: a run's instructions less those of its reloads
  local out total reloads
  out=$(mktemp)
  valgrind --tool=callgrind --callgrind-out-file="$out" "$drive" "$@" >/dev/null 2>&1
  total=$(callgrind_annotate "$out" | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1; exit}')
  # The cost of every call into the reload, as its callers see it: callgrind also lists pieces of the
  # function under the files of the code inlined into it, which this total already holds.
  reloads=$(callgrind_annotate --inclusive=yes --tree=caller --threshold=100 "$out" |
    awk '/\*  \/[^ ]*settings\/settings\.cpp:orvane::Settings::reloadSettings\(\)/ {gsub(",", "", $1); print $1; exit}')
  rm -f "$out"
  [ -n "$reloads" ] || { echo "bench.sh: no reload found in a run of $*" >&2; exit 1; }
  echo $((total - reloads))
}
per_less_reloads() { per_by less_reloads "$@"; }  # MODE N [ARG]: one operation, less its reloads
declare -A share
sizes="16 64 256 1024"
for n in $sizes; do
  system=$(per tap-keyboards-system 4 "$n")
  share[label,$n]=$(per_less_reloads label-keyboards 4 "$n")
  share[switcher,$n]=$(per_less_reloads switcher-keyboards 4 "$n")
  share[tap,$n]=$(( $(per_less_reloads tap-keyboards 4 "$n") - system ))
  echo "n=$n label ${share[label,$n]} switcher ${share[switcher,$n]} tap ${share[tap,$n]}"
done
for what in label switcher tap; do
  points=""
  for n in $sizes; do points+="$n ${share[$what,$n]} "; done
  # Least squares of log(instructions) on log(N).
  awk -v what="$what" -v p="$points" 'BEGIN { k = split(p, v, " "); m = 0
    for (i = 1; i < k; i += 2) { x = log(v[i]); y = log(v[i + 1]); sx += x; sy += y; sxx += x * x; sxy += x * y; m++ }
    printf "growth of the %s share: exponent %.2f\n", what, (m * sxy - sx * sy) / (m * sxx - sx * sx) }'
done

echo "== a keystroke as the settings file grows (instructions)"
for size in 0 4096 65536 1048576; do
  f=$(per floor 20 "$size"); s=$(per system 20 "$size"); e=$(per extension 20 "$size")
  awk -v z="$size" -v f="$f" -v s="$s" -v e="$e" 'BEGIN { printf "padding %8d B  floor %8d  overhead %8d  ratio %.2f\n", z, f, e - s, (e - s) / f }'
done

echo "== CPU time, every operation taking turns within each round"
"$drive" interleaved 9 2000

echo "== the visual report of a long run (headless Chromium): size, opening, a click"
for n in 20000 200000; do node tests/browser/report_scale.mjs build/orvane-sim "$n"; done

echo "== peak memory"
for mode in extension tap; do
  for n in 10000 100000; do "$drive" "$mode" "$n"; done
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The scenarios below: N mode-1 globe taps (taps50000, taps200000), and N taps each followed by an
# expect event or an expect no-event (event2000, no-event4000, ...).
python3 - "$work" <<'PY'
import sys
work = sys.argv[1]
head = "keyboards en_US fr_FR de_DE\nsettings write {mode: 1, SelectedKeyboards: [en_US, fr_FR, de_DE]}\nstart com.example.app\n"
tap = "tap com.example.app globe\nrun\n"
for n in (50000, 200000):
    with open(f"{work}/taps{n}.scn", "w") as f:
        f.write(head + tap * n + "expect input-mode com.example.app %s\n" % ["en_US", "fr_FR", "de_DE"][n % 3])
for n in (2000, 4000):
    for name, line in (("event", "expect event com.example.app input-mode\n"), ("no-event", "expect no-event com.example.app alert\n")):
        with open(f"{work}/{name}{n}.scn", "w") as f:
            f.write(head + (tap + line) * n)
PY
for n in 50000 200000; do
  /usr/bin/time -f "orvane-sim run --quiet, $n globe taps: %e s, peak %M KiB" build/orvane-sim run -q "$work/taps$n.scn" >/dev/null
done

echo "== expect no-event against expect event after each tap (instructions a tap and its expectation, runs of 4,000 less 2,000)"
declare -A expect
for name in event no-event; do
  a=$(refs build/orvane-sim run -q "$work/${name}2000.scn")
  b=$(refs build/orvane-sim run -q "$work/${name}4000.scn")
  expect[$name]=$(((b - a) / 2000))
done
awk -v e="${expect[event]}" -v n="${expect[no-event]}" \
  'BEGIN { printf "expect event %d  expect no-event %d  no-event / event %.2f\n", e, n, n / e }'

echo "== 200,000 taps, the device folder on disk against one in memory (whole runs, taking turns)"
# The device folder of a run is a throwaway one under TMPDIR: /tmp (this machine's disk, as the file
# system type printed says) against /dev/shm (memory).
python3 - "$work" build/orvane-sim <<'PY'
import os, subprocess, sys, time
work, sim = sys.argv[1], sys.argv[2]

def run(path, tmpdir):
    start = time.perf_counter()
    subprocess.run([sim, "run", "-q", path], check=True, stdout=subprocess.DEVNULL, env=dict(os.environ, TMPDIR=tmpdir))
    return time.perf_counter() - start

def fstype(path):
    return subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True).stdout.strip()
ratios = []
for _ in range(3):
    disk, memory = run(f"{work}/taps200000.scn", "/tmp"), run(f"{work}/taps200000.scn", "/dev/shm")
    ratios.append(disk / memory)
    print(f"200,000 taps: /tmp ({fstype('/tmp')}) {disk:.2f} s  /dev/shm ({fstype('/dev/shm')}) {memory:.2f} s  "
          f"disk / memory {disk / memory:.2f}")
print(f"200,000 taps, disk / memory, median of 3 rounds: {sorted(ratios)[1]:.2f}")
PY


if [ -x build/bench/orvane_round_trips ]; then
  echo "== the real runtime's processes: round trips per operation, beside a ping-pong measured between the rounds"
  build/bench/orvane_round_trips 1000 1
  build/bench/orvane_round_trips 1000 10 | sed -n '1p;4p'
fi
echo "== the live page in headless Chromium: from a tap to the keyboard redrawn (200 taps, then 200 more at 5,000 events)"
if [ -d tests/browser/node_modules ] && command -v node >/dev/null && [ -x /usr/bin/chromium ]; then
  out=$(mktemp -d)
  node tests/browser/live_page.mjs build/orvane-sim "$out" --latency 200 | grep "latency"
  rm -rf "$out"
fi
