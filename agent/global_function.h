// The in-process agent: one `GlobalFunction` object per application, created at application start.
// It carries out the commands that SpringBoard's actions post as distributed notifications, and
// switches to the default keyboard whenever the keyboard is about to be shown after being hidden.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/services.h"
#include "platform/uikit.h"

namespace orvane {

inline constexpr std::string_view kCloseKeyboardMenuNotification = "net.varnholt.closeKeyboardMenu";
inline constexpr std::string_view kChangeKeyboardNotification = "net.varnholt.changeKeyboard";
inline constexpr std::string_view kChangeToSpecificKeyboardNotification = "net.varnholt.changeToSpecificKeyboard";
inline constexpr std::string_view kKeyboardUserInfoKey = "keyboard";

// Adds the class to the process. `keyboardShownFlag` is the process's flag, which outlives the class's
// use; `[GlobalFunction new]` then creates an agent.
objc::Class* addGlobalFunctionClass(const platform::Platform& platform, bool* keyboardShownFlag);

// The length of a string as the platform counts it, in UTF-16 code units.
std::size_t platformLength(std::string_view utf8);

}  // namespace orvane
