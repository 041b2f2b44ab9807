# What every cross build here shares; each toolchain file beside this one names its target and
# includes it. Debian's cross compilers bring the target's C and C++ runtimes (/usr/TRIPLET); the
# other libraries the project links (ICU, libedit, GoogleTest, libplist) are Debian's packages for
# the target, unpacked by scripts/target_libraries.sh into the build folder's target-libraries/
# (where the tests' other users can read them too), fetched the first time a build is configured. The programs are linked to find both where they are on this machine,
# so that the tests run them here: natively for 32-bit x86, under qemu-user for ARM, which ctest
# puts in front of every program it runs (CMAKE_CROSSCOMPILING_EMULATOR).
#   orvane_target_prefix      the cross compilers' prefix and the runtimes' folder: arm-linux-gnueabihf
#   orvane_target_arch        Debian's name of the architecture: armhf
#   orvane_target_multiarch   the libraries' folder under /usr/lib: arm-linux-gnueabihf
#   orvane_target_emulator    qemu-user's program for it, when the programs cannot run natively
#   orvane_target_flags       compile options the target's ABI needs
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${orvane_target_prefix}-g++)
set(CMAKE_C_COMPILER ${orvane_target_prefix}-gcc)
set(CMAKE_CXX_FLAGS_INIT "${orvane_target_flags}")

if(NOT ORVANE_TARGET_LIBRARIES)
  set(ORVANE_TARGET_LIBRARIES ${CMAKE_BINARY_DIR}/target-libraries)
endif()
# The try-compiles CMake runs read this file again, each in a project of its own: they are told the
# folder rather than making it again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVANE_TARGET_LIBRARIES)
if(NOT EXISTS ${ORVANE_TARGET_LIBRARIES}/.packages)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../../scripts/target_libraries.sh ${orvane_target_arch}
                          ${ORVANE_TARGET_LIBRARIES} RESULT_VARIABLE fetched)
  if(NOT fetched EQUAL 0)
    message(FATAL_ERROR "The ${orvane_target_arch} libraries could not be fetched into ${ORVANE_TARGET_LIBRARIES}")
  endif()
endif()

set(runtimes /usr/${orvane_target_prefix})
set(CMAKE_FIND_ROOT_PATH ${runtimes} ${ORVANE_TARGET_LIBRARIES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config reads the target's .pc files and puts their folder in front of the paths they give.
set(ENV{PKG_CONFIG_LIBDIR} ${ORVANE_TARGET_LIBRARIES}/usr/lib/${orvane_target_multiarch}/pkgconfig:${ORVANE_TARGET_LIBRARIES}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ORVANE_TARGET_LIBRARIES})

set(library_folders ${runtimes}/lib ${ORVANE_TARGET_LIBRARIES}/usr/lib/${orvane_target_multiarch}
                    ${ORVANE_TARGET_LIBRARIES}/lib/${orvane_target_multiarch})
string(REPLACE ";" ":" library_path "${library_folders}")
# DT_RPATH, not the linker's default DT_RUNPATH: the loader searches a RUNPATH only for the
# program's own needs, and ICU's libraries need one another.
set(link_flags "-Wl,--disable-new-dtags -Wl,-rpath,${library_path} -Wl,-rpath-link,${library_path}")
if(orvane_target_emulator)
  # qemu-user maps the loader and the C library's absolute paths into the runtimes' folder.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${orvane_target_emulator} -L ${runtimes})
else()
  # Run natively: the loader is the cross runtimes' own, so the machine needs no 32-bit packages.
  file(GLOB loader ${runtimes}/lib/ld-linux*.so.*)
  string(APPEND link_flags " -Wl,--dynamic-linker=${loader}")
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${link_flags}")
