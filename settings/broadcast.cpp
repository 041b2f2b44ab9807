#include "settings/broadcast.h"

#include "platform/uikit.h"

namespace orvane {

void broadcastKeyboardPreference(const platform::Platform& platform, std::string_view key) {
  using platform::names::kKeyboardPreferencesDomain;
  using platform::names::kKeyboardsChangedNotification;
  platform.notify.CFNotificationCenterPostNotification(kKeyboardsChangedNotification, true);
  platform.preferences.CFPreferencesAppSynchronize(kKeyboardPreferencesDomain);
  platform.notify.GSSendAppPreferencesChanged(kKeyboardPreferencesDomain, key);
  platform.notify.notify_post(kKeyboardsChangedNotification);
}

}  // namespace orvane
