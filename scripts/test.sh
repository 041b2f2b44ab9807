#!/usr/bin/env bash
# Builds and runs the whole test suite, then again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

echo "== format"
# Every C++ file as .clang-format says; a file that is not fails the run.
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== build and test"
scripts/build.sh build
ctest --test-dir build --output-on-failure -j "$(nproc)"

echo "== clang-tidy"
# The checks of .clang-tidy on every source file of the normal build; a warning fails the run.
# GCC's own warning options in the compile commands mean nothing to clang; the layering cases are
# meant not to compile.
run-clang-tidy -p build -j "$(nproc)" -quiet -extra-arg=-Wno-unknown-warning-option \
  "$(pwd)/((platform|settings|hooks|agent|activator|startup|sim|rig|cli|bench|fuzz|tests/empty_runtime)/.*|tests/[a-z_]+)\.cpp$" >build/clang-tidy.log 2>&1 ||
  { grep -E "error:|warning:" build/clang-tidy.log | sort -u; echo "clang-tidy found the above"; exit 1; }

echo "== build and test with the sanitizers"
scripts/build.sh build-asan -DORVANE_SANITIZE=ON -DORVANE_BENCHMARKS=OFF -DORVANE_REAL_RUNTIME=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$(nproc)"

echo "== release build (-O3) and its tests"
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DORVANE_BENCHMARKS=OFF -DORVANE_FUZZ_REPLAYS=OFF -DORVANE_REAL_RUNTIME=OFF
ctest --test-dir build-release --output-on-failure -j "$(nproc)"
