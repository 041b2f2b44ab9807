#!/usr/bin/env bash
# Builds everything and runs the simulator's tour.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build >/dev/null
exec build/orvane-sim tour "$@"
