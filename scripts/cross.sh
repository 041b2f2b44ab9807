#!/usr/bin/env bash
# The ARM builds, run under qemu-user: scripts/cross.sh [aarch64] [armhf]   (both when none is named)
# Each is configured by its toolchain file (cmake/toolchains/), with char signed as on the phones'
# ARM ABIs, built with every unit test (the extension's, the property-list codec's, the device's
# and the command's), and run by ctest through the emulator: those tests, the shipped scenarios and
# the tour on the fast runtime, the fuzz targets' replays, and the codec against Python's plistlib.
# The command's tests as a person drives it (its output, its server, its pages) run on the native
# builds of scripts/test.sh, the 32-bit one among them.
#
# Not part of scripts/test.sh: two more builds and their runs under emulation take ten minutes on
# this machine's two cores, as long as the test command itself. CI runs it after the test command.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cross
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(aarch64 armhf)
for target in "${targets[@]}"; do
  case "$target" in
    aarch64 | armhf) ;;
    *) echo "scripts/cross.sh: no toolchain for '$target' (aarch64, armhf)" >&2; exit 2 ;;
  esac
done
for target in "${targets[@]}"; do
  echo "== $target under qemu-user"
  started=$SECONDS
  # -O2: code under emulation runs ten to thirty times slower, so it is optimised as shipped code is.
  scripts/build.sh "build-$target" --configure-only -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/$target.cmake \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_UNITY_BUILD=ON -DORVANE_BENCHMARKS=OFF \
    -DORVANE_REAL_RUNTIME=OFF
  cmake --build "build-$target" -j "$(nproc)" >"build-$target/build.log" 2>&1 || { cat "build-$target/build.log"; exit 1; }
  ctest --test-dir "build-$target" --output-on-failure -j "$(nproc)"
  echo "$target: built and run in $((SECONDS - started)) s"
done
