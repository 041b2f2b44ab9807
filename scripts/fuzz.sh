#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 120), then merges what it
# found into the committed corpus, minimised. Crash inputs land in fuzz/crashes/TARGET/.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# With PLATEAU=S in the environment, each target runs until its coverage has not grown for S seconds
# (at most SECONDS), and the seeds of fuzz/hostile_seeds.py join its corpus first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
dpkg-query -W -f='${Status}' clang libclang-rt-14-dev 2>/dev/null | grep -c "install ok installed" | grep -q 2 || {
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev
}
seconds=${1:-120}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(settings_file_fuzzer mode_rewrite_fuzzer system_preferences_fuzzer user_info_fuzzer scenario_fuzzer
                                    http_head_fuzzer)

cmake -S . -B build-fuzz -DORVANE_FUZZ=ON -DORVANE_REAL_RUNTIME=OFF -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}" >/dev/null

plateau=${PLATEAU:-0}
seeds=$(mktemp -d)
[ "$plateau" -gt 0 ] && python3 fuzz/hostile_seeds.py "$seeds"

for target in "${targets[@]}"; do
  corpus=fuzz/corpus/$target
  crashes=fuzz/crashes/$target
  work=$(mktemp -d)
  mkdir -p "$corpus" "$crashes"
  [ -d "$seeds/$target" ] && cp "$seeds/$target"/* "$corpus"/
  log=$(mktemp)
  echo "== $target for ${seconds}s$([ "$plateau" -gt 0 ] && echo ", or until ${plateau}s without new coverage")"
  ASAN_OPTIONS=detect_leaks=1 build-fuzz/fuzz/$target "$work" "$corpus" -max_total_time="$seconds" -max_len=4096 \
    -timeout=10 -rss_limit_mb=4096 -artifact_prefix="$crashes/" -print_final_stats=1 >"$log" 2>&1 &
  fuzzer=$!
  if [ "$plateau" -gt 0 ]; then
    last_cov=""
    since=$(date +%s)
    while kill -0 "$fuzzer" 2>/dev/null; do
      sleep 5
      cov=$(grep -oE "cov: [0-9]+" "$log" | tail -1 || true)
      if [ "$cov" != "$last_cov" ]; then
        last_cov=$cov
        since=$(date +%s)
      elif [ $(($(date +%s) - since)) -ge "$plateau" ]; then
        echo "plateau: $cov unchanged for ${plateau}s"
        kill -INT "$fuzzer" 2>/dev/null || true
      fi
    done
  fi
  wait "$fuzzer" || true
  grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|stat::number_of_executed_units|stat::peak_rss|ERROR|invariant" "$log" || true
  grep -E "^#[0-9]+" "$log" | tail -1 || true
  rm -f "$log"
  # Keep the corpus small: only inputs that add coverage.
  merged=$(mktemp -d)
  build-fuzz/fuzz/$target -merge=1 "$merged" "$corpus" "$work" >/dev/null 2>&1 || true
  rm -rf "$corpus" && mv "$merged" "$corpus" && rm -rf "$work"
  echo "corpus: $(ls "$corpus" | wc -l) inputs"
done
