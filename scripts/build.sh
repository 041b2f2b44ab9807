#!/usr/bin/env bash
# Configures and builds one flavour: scripts/build.sh DIR [cmake options...]
set -euo pipefail
dir=$1
shift
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
