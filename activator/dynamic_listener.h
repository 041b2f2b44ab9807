// The per-keyboard Activator action: one shared `DynamicListener`, registered in SpringBoard under
// the listener name of every enabled keyboard, that switches every application to that keyboard and
// tells Activator each action's title, description, group and icon.
#pragma once

#include <string>
#include <string_view>

#include "platform/services.h"

namespace orvane {

// The name with every occurrence of "net.varnholt.orvane-" removed.
std::string stripListenerPrefix(std::string_view name);

// Adds `DynamicListener` to the process; `textInputMode` is the process's UITextInputMode class.
objc::Class* addDynamicListenerClass(const platform::Platform& platform, objc::Class* textInputMode);

}  // namespace orvane
