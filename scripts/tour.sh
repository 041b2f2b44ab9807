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
# The first build takes a few minutes on two cores; later ones only rebuild what changed. Its
# progress is shown on one line of standard error, so the tour's own output stays the trace.
echo "tour: building ${targets[*]} in build-sim/ (the first time takes a few minutes)" >&2
started=$SECONDS
cmake -S . -B build-sim -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVANE_TESTS=OFF -DORVANE_BENCHMARKS=OFF -DORVANE_FUZZ_REPLAYS=OFF >/dev/null
# What `cmake --install build-sim` installs beside the command: its completions and manual page.
targets+=(orvane-sim-completions orvane-sim-manual)
cmake --build build-sim -j "$(nproc)" --target "${targets[@]}" |
  awk 'match($0, /^\[ *[0-9]+%\]/) { printf "\r  %-8s", substr($0, RSTART, RLENGTH); fflush() }
       END { printf "\r%10s\r", "" }' >&2
echo "tour: built in $((SECONDS - started)) s; running the tour" >&2
exec build-sim/orvane-sim tour ${arguments[@]+"${arguments[@]}"}
