// The announcement that follows the extension's change of a key of the system keyboard preferences.
#pragma once

#include <string_view>

#include "platform/services.h"

namespace orvane {

// Run after `key` has been written to "com.apple.Preferences": the Darwin post, the synchronize,
// the GraphicsServices announcement and the notify post, in that order.
void broadcastKeyboardPreference(const platform::Platform& platform, std::string_view key);

}  // namespace orvane
