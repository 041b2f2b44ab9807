#!/usr/bin/env bash
# Installs the Debian packages a build needs, when any is missing.
#   scripts/deps.sh        everything: the simulator, the tests, the benchmarks and the fuzz replays
#   scripts/deps.sh sim    the simulator alone
#   scripts/deps.sh cross  the ARM cross compilers and qemu-user, for scripts/cross.sh
set -euo pipefail

# libobjc-N-dev: GCC's Objective-C runtime (headers and library) for the real-runtime backend,
# matching the installed GCC.
gcc_major=$( (gcc -dumpversion 2>/dev/null || echo 12) | cut -d. -f1)
packages=(g++ cmake make pkg-config libicu-dev libedit-dev "libobjc-${gcc_major}-dev")
if [ "${1:-all}" = cross ]; then
  # The ARM builds: Debian's cross compilers, and qemu-user to run what they make. The libraries
  # they link are the target's own packages, which cmake/toolchains/ fetches into the build folder.
  packages=(cmake make pkg-config python3 ninja-build g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user)
elif [ "${1:-all}" != sim ]; then
  # The 32-bit build of the test command: Debian's i686 cross compilers, with the 32-bit libobjc.
  # Cross compilers rather than gcc-multilib, which Debian will not install beside them: the ARM
  # ones (scripts/deps.sh cross) can then be had on the same machine.
  packages+=(g++-i686-linux-gnu "gobjc++-i686-linux-gnu")
  # fonts-noto-cjk: the Korean and Japanese keyboards are drawn in letters, not empty boxes.
  # clang-tidy 22, not Debian's default 14: it leaves the standard headers' declarations out of its
  # checks' walk, two to three times faster, and it knows more bug-prone patterns.
  packages+=(python3 clang-format clang-tidy-22 ninja-build man-db chromium fonts-noto-color-emoji fonts-noto-cjk libplist-dev libgtest-dev libgmock-dev libbenchmark-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The browser tests drive the system's Chromium with playwright-core (npm; it downloads no browser).
if [ "${1:-all}" = all ] && ! command -v npm >/dev/null; then
  missing+=(nodejs npm)
fi
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ "${1:-all}" = all ] && [ ! -d "$(dirname "$0")/../tests/browser/node_modules/playwright-core" ]; then
  echo "Installing playwright-core for the browser tests (tests/browser/package-lock.json)"
  npm ci --prefix "$(dirname "$0")/../tests/browser" --no-audit --no-fund --loglevel=error
fi
