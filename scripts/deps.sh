#!/usr/bin/env bash
# Installs the Debian packages a build needs, when any is missing.
#   scripts/deps.sh        everything: the simulator, the tests, the benchmarks and the fuzz replays
#   scripts/deps.sh sim    the simulator alone
set -euo pipefail

# libobjc-N-dev: GCC's Objective-C runtime (headers and library) for the real-runtime backend,
# matching the installed GCC.
gcc_major=$( (gcc -dumpversion 2>/dev/null || echo 12) | cut -d. -f1)
packages=(g++ cmake make pkg-config libicu-dev libedit-dev "libobjc-${gcc_major}-dev")
if [ "${1:-all}" != sim ]; then
  packages+=(python3 clang-format clang-tidy help2man man-db chromium libplist-dev libgtest-dev libgmock-dev libbenchmark-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
