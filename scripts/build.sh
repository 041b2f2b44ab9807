#!/usr/bin/env bash
# Configures and builds one flavour: scripts/build.sh DIR [--configure-only] [cmake options...]
set -euo pipefail
dir=$1
shift
configureOnly=false
if [ "${1:-}" = "--configure-only" ]; then configureOnly=true; shift; fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
$configureOnly || cmake --build "$dir" -j "$(nproc)"
