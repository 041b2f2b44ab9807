#!/usr/bin/env bash
# Builds and runs the whole test suite, then again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

echo "== format"
# Every C++ file as .clang-format says; a file that is not fails the run.
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

# Every flavour is built with line tables only (-g1): a failure's stack trace names files and
# lines, and full debug information (-g) would cost a third of the compile time. For a debugger,
# configure a build of your own.
echo "== build and test"
scripts/build.sh build -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
ctest --test-dir build --output-on-failure -j "$(nproc)"

echo "== clang-tidy"
# The checks of .clang-tidy on every source file of the normal build; a warning fails the run.
# GCC's own warning options in the compile commands mean nothing to clang; the layering cases are
# meant not to compile. The path-sensitive analyzer (clang-analyzer-*) costs several times the other
# checks on a test, whose paths the sanitizer build runs anyway: tests, fuzz harnesses and
# benchmarks get the other checks.
parts="platform|settings|hooks|agent|activator|startup|sim|rig|cli"
tidy() { run-clang-tidy -p build -j "$(nproc)" -quiet -extra-arg=-Wno-unknown-warning-option "$@" >>build/clang-tidy.log 2>&1; }
: >build/clang-tidy.log
{ tidy "$(pwd)/($parts)/(?!.*_test\.cpp$).*\.cpp$" &&
  tidy '-checks=-clang-analyzer-*' "$(pwd)/(($parts)/.*_test|(bench|fuzz|tests/empty_runtime)/.*|tests/[a-z_]+)\.cpp$"; } ||
  { grep -E "error:|warning:" build/clang-tidy.log | sort -u; echo "clang-tidy found the above"; exit 1; }

# The two flavours below compile their sources in batches (a unity build: each header read once per
# batch, not once per file), which takes a third less time; the normal build above compiles file by
# file, so every file is checked to stand on its own includes, and clang-tidy reads it file by file.
# The sanitizers' build is optimised at -O1, the level their documentation suggests: it compiles
# in about half the time of -O2 -g. It builds the real runtime too (orvane-sim-objc, the
# extension's shared object): its processes apart run under the sanitizers as well.
echo "== build and test with the sanitizers"
scripts/build.sh build-asan -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_UNITY_BUILD=ON -DORVANE_SANITIZE=ON -DORVANE_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$(nproc)"

echo "== release build (-O3) and its tests"
scripts/build.sh build-release -DCMAKE_UNITY_BUILD=ON -DCMAKE_BUILD_TYPE=Release -DORVANE_BENCHMARKS=OFF -DORVANE_FUZZ_REPLAYS=OFF -DORVANE_REAL_RUNTIME=OFF
ctest --test-dir build-release --output-on-failure -j "$(nproc)"
