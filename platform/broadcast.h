// The announcement that follows a change of a key of the system keyboard preferences.
#pragma once

#include <string_view>

#include "platform/services.h"

namespace orvane::platform {

inline constexpr std::string_view kKeyboardPreferencesDomain = "com.apple.Preferences";
inline constexpr std::string_view kKeyboardsChangedNotification = "AppleKeyboardsSettingsChangedNotification";

// Run after `key` has been written to "com.apple.Preferences": the Darwin post, the synchronize,
// the GraphicsServices announcement and the notify post, in that order.
void broadcastKeyboardPreference(const Platform& platform, std::string_view key);

}  // namespace orvane::platform
