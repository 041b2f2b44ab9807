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

echo "== build and test with the sanitizers"
scripts/build.sh build-asan -DORVANE_SANITIZE=ON -DORVANE_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$(nproc)"

echo "== release build (-O3) and its tests"
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DORVANE_BENCHMARKS=OFF -DORVANE_FUZZ_REPLAYS=OFF
ctest --test-dir build-release --output-on-failure -j "$(nproc)"
