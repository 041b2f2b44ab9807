#!/usr/bin/env bash
# Builds the simulator alone (no tests, benchmarks or fuzz replays) and runs its tour. Options are
# orvane-sim's own, e.g. scripts/tour.sh --trace=json.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh sim
cmake -S . -B build-sim -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVANE_TESTS=OFF -DORVANE_BENCHMARKS=OFF -DORVANE_FUZZ_REPLAYS=OFF >/dev/null
cmake --build build-sim -j "$(nproc)" --target orvane-sim >/dev/null
exec build-sim/orvane-sim tour "$@"
