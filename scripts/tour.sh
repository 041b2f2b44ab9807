#!/usr/bin/env bash
# Builds the simulator alone (no tests, benchmarks or fuzz replays) into build-sim/ and runs its
# tour. Options are orvane-sim's own, e.g. scripts/tour.sh --trace=json; a --report path is taken
# from the folder you run this from. With --runtime=objc the real runtime's command is built too.
set -euo pipefail
caller=$(pwd)
cd "$(dirname "$0")/.."
arguments=()
targets=(orvane-sim)
for argument in "$@"; do
  case "$argument" in
    --report=/*) ;;
    --report=*) argument="--report=$caller/${argument#--report=}" ;;
    --runtime=objc) targets+=(orvane-sim-objc) ;;
  esac
  arguments+=("$argument")
done
scripts/deps.sh sim
cmake -S . -B build-sim -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVANE_TESTS=OFF -DORVANE_BENCHMARKS=OFF -DORVANE_FUZZ_REPLAYS=OFF >/dev/null
cmake --build build-sim -j "$(nproc)" --target "${targets[@]}" >/dev/null
exec build-sim/orvane-sim tour ${arguments[@]+"${arguments[@]}"}
