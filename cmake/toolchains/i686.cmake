# 32-bit x86 (ILP32: int, long, pointers and size_t of 32 bits, as on the armv7 phones), run natively:
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686.cmake
# Needs Debian's g++-i686-linux-gnu (and gobjc++-i686-linux-gnu for the real runtime):
# scripts/deps.sh cross installs them.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(orvane_target_prefix i686-linux-gnu)
set(orvane_target_arch i386)
set(orvane_target_multiarch i386-linux-gnu)
# SSE2 arithmetic, as every x86 machine since 2001 has: x87's 80-bit intermediates would round
# doubles differently from every other target.
set(orvane_target_flags "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
