#!/usr/bin/env bash
# Builds and runs the benchmarks, then counts instructions per operation with callgrind and the peak
# memory over long runs. Every figure of docs/performance.md comes from this script.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
command -v valgrind >/dev/null || { sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"; $sudo apt-get install -y -qq valgrind; }
scripts/build.sh build >/dev/null

echo "== time per operation (median of 5)"
build/bench/orvane_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.3 2>/dev/null | awk '/_median/ {print $1, $2, $3}' | sed 's/_median//' | tee /tmp/orvane-bench.txt
awk '
  /^BM_Floor\/xml:0 / {floor=$2} /^BM_KeystrokeSystem / {ks=$2} /^BM_KeystrokeExtension / {ke=$2}
  /^BM_LabelSystem / {ls=$2} /^BM_LabelExtension / {le=$2}
  /^BM_ReloadSettings\/n:64 / {r64=$2} /^BM_FloorForReload\/n:64 / {f64=$2}
  /^BM_ReloadSettings\/n:1 / {r1=$2} /^BM_FloorForReload\/n:1 / {f1=$2}
  END {
    printf "keystroke overhead / floor: %.2f\n", (ke-ks)/floor
    printf "label overhead / floor:     %.2f\n", (le-ls)/floor
    printf "reload n=1 / its floor:     %.2f\n", r1/f1
    printf "reload n=64 / its floor:    %.2f\n", r64/f64
  }' /tmp/orvane-bench.txt

echo "== instructions per operation (callgrind, count 2000 minus count 1000, over 1000)"
for what in floor system extension label-system label tap; do
  a=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null build/bench/orvane_keystrokes "$what" 1000 2>&1 | awk '/refs/ {gsub(",","",$4); print $4}')
  b=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null build/bench/orvane_keystrokes "$what" 2000 2>&1 | awk '/refs/ {gsub(",","",$4); print $4}')
  echo "$what $(( (b - a) / 1000 ))"
done

echo "== peak memory"
for what in extension tap; do
  for count in 10000 100000; do build/bench/orvane_keystrokes "$what" "$count"; done
done
