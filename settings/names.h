// Names that the extension's parts share: the commands SpringBoard's actions post to every
// application's agent, the user-info key they carry, the Activator listener name of a keyboard, and
// the length of a string as the platform counts it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvane {

inline constexpr std::string_view kCloseKeyboardMenuNotification = "net.varnholt.closeKeyboardMenu";
inline constexpr std::string_view kChangeKeyboardNotification = "net.varnholt.changeKeyboard";
inline constexpr std::string_view kChangeToSpecificKeyboardNotification = "net.varnholt.changeToSpecificKeyboard";
inline constexpr std::string_view kKeyboardUserInfoKey = "keyboard";

// ANSI colour on and off, the two C-string arguments around the text of every log line.
inline constexpr std::string_view kColorOn = "\x1b[1;35m";
inline constexpr std::string_view kColorOff = "\x1b[0m";

// The Activator listener name of an enabled keyboard: its identifier up to the first "@".
inline std::string keyboardListenerName(std::string_view identifier) {
  return std::string(identifier.substr(0, identifier.find('@')));
}

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
