// How the extension's text looks to the platform: the colour around every log line it writes, and
// the length of a string as the platform counts it.
#pragma once

#include <cstddef>
#include <string_view>

namespace orvane {

// ANSI colour on and off, the two C-string arguments around the text of every log line.
inline constexpr std::string_view kColorOn = "\x1b[1;35m";
inline constexpr std::string_view kColorOff = "\x1b[0m";

// The length of a string as the platform counts it, in UTF-16 code units.
inline std::size_t platformLength(std::string_view utf8) {
  std::size_t units = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) ++units;  // a lead byte starts a character
    if ((c & 0xF8) == 0xF0) ++units;  // four-byte characters take a surrogate pair
  }
  return units;
}

}  // namespace orvane
