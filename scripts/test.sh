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
#
# The tests run twice, in two flavours compiled in batches (a unity build: each header read once per
# batch, not once per file, a third less time): under the sanitizers at -O1, and at -O3. That each
# file stands on its own includes is checked by clang-tidy, which compiles every file on its own from
# the compile commands of build/, configured here and not built.
echo "== clang-tidy"
scripts/build.sh build --configure-only -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
# The checks of .clang-tidy on every source file; a warning fails the run. GCC's own warning options
# in the compile commands mean nothing to clang; the layering cases are meant not to compile. The
# path-sensitive analyzer (clang-analyzer-*) runs on the extension's folders, the code that ships to
# the phone; on the simulated device, the command, tests, fuzz harnesses and benchmarks, whose
# paths the sanitizer build runs, the other checks run (the analyzer cost several times them).
extension="platform|settings|hooks|agent|activator|startup"
rest="sim|rig|cli"
tidy() { run-clang-tidy -p build -j "$(nproc)" -quiet -extra-arg=-Wno-unknown-warning-option "$@" >>build/clang-tidy.log 2>&1; }
: >build/clang-tidy.log
{ tidy "$(pwd)/($extension)/(?!.*_test\.cpp$).*\.cpp$" &&
  tidy '-checks=-clang-analyzer-*' \
    "$(pwd)/((($extension)/.*_test)|($rest)/.*|(bench|fuzz|tests/empty_runtime)/.*|tests/[a-z_]+)\.cpp$"; } ||
  { grep -E "error:|warning:" build/clang-tidy.log | sort -u; echo "clang-tidy found the above"; exit 1; }

# The sanitizers' build is optimised at -O1, the level their documentation suggests. It builds
# everything, the real runtime (orvane-sim-objc, the extension's shared object: its processes
# apart run under the sanitizers as well) and the benchmarks included.
echo "== build and test with the sanitizers"
scripts/build.sh build-asan -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_UNITY_BUILD=ON -DORVANE_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$(nproc)"

echo "== release build (-O3) and its tests"
scripts/build.sh build-release -DCMAKE_UNITY_BUILD=ON -DCMAKE_BUILD_TYPE=Release -DORVANE_BENCHMARKS=OFF -DORVANE_FUZZ_REPLAYS=OFF -DORVANE_REAL_RUNTIME=OFF
ctest --test-dir build-release --output-on-failure -j "$(nproc)"
