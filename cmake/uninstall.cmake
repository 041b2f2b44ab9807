# Removes every file the last `cmake --install` of this build put in place, as its manifest lists
# them, and says each; a file already gone is said to be so. Folders are left: others may hold
# files of their own there.
#   cmake -DMANIFEST=BUILD/install_manifest.txt -P cmake/uninstall.cmake
if(NOT EXISTS "${MANIFEST}")
  message(FATAL_ERROR "Nothing to uninstall: ${MANIFEST} is missing (cmake --install writes it)")
endif()
file(STRINGS "${MANIFEST}" installed)
foreach(file ${installed})
  if(EXISTS "${file}" OR IS_SYMLINK "${file}")
    message(STATUS "Removing ${file}")
    file(REMOVE "${file}")
  else()
    message(STATUS "Already gone: ${file}")
  endif()
endforeach()
file(REMOVE "${MANIFEST}")
