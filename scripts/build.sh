#!/usr/bin/env bash
# Configures and builds one flavour: scripts/build.sh DIR [--configure-only] [cmake options...]
# A new build folder is made for Ninja when it is installed: it starts a file's compilation as soon
# as what the file includes is there, where make waits for each library a target links.
set -euo pipefail
dir=$1
shift
configureOnly=false
if [ "${1:-}" = "--configure-only" ]; then configureOnly=true; shift; fi
generator=()
if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
$configureOnly || cmake --build "$dir" -j "$(nproc)"
