# Writes a C++ source that holds files as string constants: the pages, their scripts and styles,
# and the tour, kept as files of their own in the source tree and compiled into the command.
#   cmake -DOUTPUT=pages.cpp -DNAMESPACE=orvane::cli::pages -DFILES="kName=path;..." -P embed.cmake
# Each file becomes a character array (so no byte of it can end a literal early) and a
# std::string_view of its exact length.
set(text "// Made by cmake/embed.cmake from the files it names; do not edit.\n#include <string_view>\n\nnamespace ${NAMESPACE} {\n")
foreach(entry ${FILES})
  string(FIND "${entry}" "=" equals)
  string(SUBSTRING "${entry}" 0 ${equals} name)
  math(EXPR after "${equals} + 1")
  string(SUBSTRING "${entry}" ${after} -1 path)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR length "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  # Lines of a readable width: sixteen bytes each.
  string(REPEAT "'\\\\x[0-9a-f][0-9a-f]'," 16 sixteen)
  string(REGEX REPLACE "(${sixteen})" "\\1\n" bytes "${bytes}")
  string(APPEND text "\nnamespace {\nconst char ${name}Bytes[] = {\n${bytes}'\\0'};\n}  // namespace\n"
         "extern const std::string_view ${name};\nconst std::string_view ${name}(${name}Bytes, ${length});\n")
endforeach()
string(APPEND text "\n}  // namespace ${NAMESPACE}\n")
# Written only when it changed, so that nothing recompiles for nothing.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
