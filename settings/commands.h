// What SpringBoard's actions and every application's agent say to each other: the distributed
// notifications SpringBoard posts, the user-info key that names a keyboard, and the name each
// enabled keyboard's Activator action is listened for under.
#pragma once

#include <string>
#include <string_view>

namespace orvane {

inline constexpr std::string_view kCloseKeyboardMenuNotification = "net.varnholt.closeKeyboardMenu";
inline constexpr std::string_view kChangeKeyboardNotification = "net.varnholt.changeKeyboard";
inline constexpr std::string_view kChangeToSpecificKeyboardNotification = "net.varnholt.changeToSpecificKeyboard";
inline constexpr std::string_view kKeyboardUserInfoKey = "keyboard";

// The Activator listener name of an enabled keyboard: its identifier up to the first "@".
inline std::string keyboardListenerName(std::string_view identifier) {
  return std::string(identifier.substr(0, identifier.find('@')));
}

}  // namespace orvane
