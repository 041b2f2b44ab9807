#include "platform/broadcast.h"

namespace orvane::platform {

void broadcastKeyboardPreference(const Platform& platform, std::string_view key) {
  platform.notify.CFNotificationCenterPostNotification(kKeyboardsChangedNotification, true);
  platform.preferences.CFPreferencesAppSynchronize(kKeyboardPreferencesDomain);
  platform.notify.GSSendAppPreferencesChanged(kKeyboardPreferencesDomain, key);
  platform.notify.notify_post(kKeyboardsChangedNotification);
}

}  // namespace orvane::platform
