# 32-bit ARM, hard float (armv7), run under qemu-user:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
# Needs Debian's g++-arm-linux-gnueabihf and qemu-user: scripts/deps.sh cross installs them.
# char is signed, as on the phones' ARM ABIs (Linux's ARM ABIs make it unsigned): configure with
# -DORVANE_UNSIGNED_CHAR=ON for Linux's.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(orvane_target_prefix arm-linux-gnueabihf)
set(orvane_target_arch armhf)
set(orvane_target_multiarch arm-linux-gnueabihf)
set(orvane_target_emulator qemu-arm)
# -Wno-psabi: GCC notes where passing a parameter changed in GCC 7.1, which matters only to code
# linked with objects compiled before it.
set(orvane_target_flags "-fsigned-char -Wno-psabi")
if(ORVANE_UNSIGNED_CHAR)
  set(orvane_target_flags "-funsigned-char -Wno-psabi")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
