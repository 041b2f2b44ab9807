#include "settings/guards.h"

#include "settings/notices.h"

namespace orvane {

bool Guards::isConfigured() {
  if (platform_.files.fileExistsAtPath(kSettingsPath)) {
    if (settings_.keyboardCount() != 0) return true;
    if (isMarkerSet(kNoKeyboardMarker)) return true;
    notifyOnce(kNoKeyboardMessage, kNoKeyboardButton, kNoKeyboardMarker);
    return false;
  }
  if (isMarkerSet(kNotConfiguredMarker)) return false;
  notifyOnce(kNotConfiguredKeyboardMessage, kNotConfiguredButton, kNotConfiguredMarker);
  return false;
}

bool Guards::isSettingsFilePresent() {
  if (platform_.files.fileExistsAtPath(kSettingsPath)) return true;
  if (isMarkerSet(kNotConfiguredMarker)) return false;
  notifyOnce(kNotConfiguredActionsMessage, kNotConfiguredButton, kNotConfiguredMarker);
  return false;
}

void Guards::welcomeAfterUnlock() {
  if (isMarkerSet(kWelcomeMarker)) return;
  notifyOnce(kWelcomeMessage, kWelcomeButton, kWelcomeMarker);
}

bool Guards::isMarkerSet(std::string_view marker) {
  return platform_.preferences.CFPreferencesCopyAppValue(marker, kWarnsDomain).has_value();
}

void Guards::notifyOnce(std::string_view message, std::string_view button, std::string_view marker) {
  showAlert(alertView_, message, button);
  // No synchronize: when the marker reaches storage is the preference service's business.
  platform_.preferences.CFPreferencesSetAppValue(marker, Value(true), kWarnsDomain);
}

}  // namespace orvane
