# 64-bit ARM, run under qemu-user:
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64.cmake
# Needs Debian's g++-aarch64-linux-gnu and qemu-user: scripts/deps.sh cross installs them.
# char is signed, as on the phones' ARM ABIs (Linux's ARM ABIs make it unsigned): configure with
# -DORVANE_UNSIGNED_CHAR=ON for Linux's.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(orvane_target_prefix aarch64-linux-gnu)
set(orvane_target_arch arm64)
set(orvane_target_multiarch aarch64-linux-gnu)
set(orvane_target_emulator qemu-aarch64)
set(orvane_target_flags -fsigned-char)
if(ORVANE_UNSIGNED_CHAR)
  set(orvane_target_flags -funsigned-char)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
