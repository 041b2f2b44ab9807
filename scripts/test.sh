#!/usr/bin/env bash
# The test command: the format, clang-tidy, the whole test suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and again on the 32-bit build at -O3. CI runs it, then scripts/cross.sh
# (the ARM builds under emulation).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

echo "== format"
# Every C++ file as .clang-format says; a file that is not fails the run.
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

# Every flavour is built with line tables only (-g1): a failure's stack trace names files and
# lines, and full debug information (-g) would cost a third of the compile time. For a debugger,
# configure a build of your own. Both flavours compile their sources in batches (a unity build:
# each header read once per batch, not once per file, a third less time).
asan=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_UNITY_BUILD=ON -DORVANE_SANITIZE=ON)

echo "== clang-tidy"
# The checks of .clang-tidy on every source file, by clang-tidy 22 (scripts/deps.sh says why that
# one); a warning fails the run. GCC's own warning options in the compile commands mean nothing to
# clang, nor does the C2y extension clang sees in Google Benchmark's registration macro.
#  - The extension's sources, the code that ships to the phone, file by file from the compile
#    commands of build/ (configured, not built), with every check, the path-sensitive analyzer
#    (clang-analyzer-*) included. Compiled alone, each file is also checked to stand on its own
#    includes.
#  - Everything else (the extension's tests, the simulated device, the command, tests, fuzz
#    harnesses, benchmarks) with every check but the analyzer, whose paths the sanitizer build
#    runs, in the sanitizer build's batches: a batch parses the standard headers once for its
#    files. A batch includes its files, hence bugprone-suspicious-include off; the layering cases
#    are meant not to compile.
scripts/build.sh build --configure-only -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
scripts/build.sh build-asan --configure-only "${asan[@]}"
# What a batch reports on: its files, and the headers .clang-tidy names.
ours="$(pwd)/((platform|settings|hooks|agent|activator|startup|sim|rig|cli)/|(bench|fuzz|tests)/.*\.cpp$)"
tidy() {
  run-clang-tidy-22 -clang-tidy-binary clang-tidy-22 -j "$(nproc)" -quiet \
    -extra-arg=-Wno-unknown-warning-option -extra-arg=-Wno-c2y-extensions "$@" >>build/clang-tidy.log 2>&1
}
: >build/clang-tidy.log
{ tidy -p build "$(pwd)/(platform|settings|hooks|agent|activator|startup)/(?!.*_test\.cpp$).*\.cpp$" &&
  tidy -p build-asan '-checks=-clang-analyzer-*,-bugprone-suspicious-include' -header-filter="$ours" \
    "build-asan/(CMakeFiles/(orvane_sim_[a-z_]+|orvane_rig|orvane_cli[a-z_]*|orvane_program)\.dir|tests/CMakeFiles|fuzz|bench)/.*unity_[0-9]+_cxx\.cxx$|cli/(main|run_command)\.cpp$"; } ||
  { sed 's/\x1b\[[0-9;]*m//g' build/clang-tidy.log | grep -E "error:|warning:" | sort -u; echo "clang-tidy found the above"; exit 1; }

# The sanitizers' build is optimised at -O1, the level their documentation suggests. It builds
# everything but the benchmarks: the real runtime (orvane-sim-objc, the extension's shared object:
# its processes apart run under the sanitizers as well) and the fuzz targets' replays.
echo "== build and test with the sanitizers"
scripts/build.sh build-asan "${asan[@]}"

# The 32-bit build (i686: int, long, pointers and size_t of 32 bits, as on the armv7 phones), at
# -O3, under -Werror as the sanitizer build is, configured by cmake/toolchains/i686.cmake and run
# natively: every test again, both runtimes, the tour and every shipped scenario, and what runs only
# at full speed (the property-list codec against Python's plistlib, the report of 20,000 taps). It is
# compiled while the sanitizers' tests run, which leave a core idle much of the time, at the lowest
# priority, so as not to slow them. The ARM builds run under emulation in scripts/cross.sh.
scripts/build.sh build-i686 --configure-only -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686.cmake -DCMAKE_UNITY_BUILD=ON \
  -DCMAKE_BUILD_TYPE=Release -DORVANE_BENCHMARKS=OFF
nice -n 19 cmake --build build-i686 -j "$(nproc)" >build-i686/build.log 2>&1 &
thirty_two=$!
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$(nproc)" || { wait "$thirty_two" || true; exit 1; }

echo "== 32-bit build (i686, -O3): every test"
wait "$thirty_two" || { cat build-i686/build.log; exit 1; }
ctest --test-dir build-i686 --output-on-failure -j "$(nproc)"
