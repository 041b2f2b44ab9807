#include "activator/action_listeners.h"

#include "activator/shared_listener.h"
#include "platform/activator.h"
#include "settings/broadcast.h"
#include "settings/commands.h"

namespace orvane {

namespace {

using objc::Id;
using objc::Sel;
namespace sel = platform::sel;

constexpr std::string_view kSystemPreferencesPath = "/var/mobile/Library/Preferences/com.apple.Preferences.plist";
constexpr std::string_view kAutocorrectionKey = "KeyboardAutocorrection";

// Rewrites a property-list file whole and atomically from a fresh read, with only `key` changed.
// A file that exists but does not read as a dictionary is left as it is: replacing it would throw
// away whatever the user had in it.
void rewriteWithKey(platform::Files& files, std::string_view path, std::string_view key, Value value) {
  std::optional<Dictionary> current = files.dictionaryWithContentsOfFile(path);
  if (!current && files.fileExistsAtPath(path)) return;
  Dictionary updated = current.value_or(Dictionary{});
  updated.insert_or_assign(std::string(key), std::move(value));
  files.writeToFileAtomically(updated, path);  // a failed write is not reported to anyone
}

}  // namespace

bool autocorrectionInPreferenceService(double versionNumber) {
  return versionNumber >= 1140.1 && versionNumber <= 1142.18;
}

ActionListenerClasses addActionListenerClasses(const platform::Platform& platform, Guards& guards) {
  platform::Runtime& runtime = platform.runtime;
  // Shared by the mode and next-keyboard actions, as the keyboard class is by the auto-correction one.
  auto distributedCenter = std::make_shared<ClassReference>(runtime, "NSDistributedNotificationCenter");
  auto keyboardImpl = std::make_shared<ClassReference>(runtime, "UIKeyboardImpl");

  auto changeMode = defineListenerClass(runtime, "ChangeMode");
  changeMode->method(sel::receiveEvent, [platform, &guards, distributedCenter](const Id&, Sel, Id, Id) {
    if (!guards.isSettingsFilePresent()) return;
    const Dictionary settings = readSettingsFile(platform.files);
    if (!isEnabled(settings)) return;
    rewriteWithKey(platform.files, kSettingsPath, kModeKey, Value(nextSwitchMode(switchModeOf(settings))));
    platform.notify.CFNotificationCenterPostNotification(kPrefsChangedNotification, true);
    postDistributed(*distributedCenter, kCloseKeyboardMenuNotification, std::nullopt);
  });

  auto changeAutoCorrection = defineListenerClass(runtime, "ChangeAutoCorrection");
  changeAutoCorrection->method(sel::receiveEvent, [platform, &guards, keyboardImpl](const Id&, Sel, Id, Id) {
    if (!guards.isSettingsFilePresent()) return;
    platform::Preferences& preferences = platform.preferences;
    preferences.CFPreferencesAppSynchronize(platform::names::kKeyboardPreferencesDomain);
    bool on = true;
    if (autocorrectionInPreferenceService(platform.system.kCFCoreFoundationVersionNumber())) {
      bool valid = false;
      const bool value = preferences.CFPreferencesGetAppBooleanValue(
          kAutocorrectionKey, platform::names::kKeyboardPreferencesDomain, &valid);
      on = value || !valid;  // absent, or not a boolean: on
    } else {
      const auto file = platform.files.dictionaryWithContentsOfFile(kSystemPreferencesPath);
      on = boolSetting(file.value_or(Dictionary{}), kAutocorrectionKey, true);
    }
    preferences.CFPreferencesAppSynchronize(platform::names::kKeyboardPreferencesDomain);
    if (autocorrectionInPreferenceService(platform.system.kCFCoreFoundationVersionNumber())) {
      preferences.CFPreferencesSetAppValue(kAutocorrectionKey, Value(!on), platform::names::kKeyboardPreferencesDomain);
    } else {
      rewriteWithKey(platform.files, kSystemPreferencesPath, kAutocorrectionKey, Value(!on));
    }
    broadcastKeyboardPreference(platform, kAutocorrectionKey);
    objc::send(objc::send(objc::sendClass(keyboardImpl->get(), sel::activeInstance), sel::autocorrectionController),
               sel::setRequestedAutocorrection, !on);
  });

  auto changeKeyboard = defineListenerClass(runtime, "ChangeKeyboard");
  changeKeyboard->method(sel::receiveEvent, [platform, &guards, distributedCenter](const Id&, Sel, Id, Id) {
    if (!guards.isSettingsFilePresent()) return;
    if (!isEnabled(readSettingsFile(platform.files))) return;
    postDistributed(*distributedCenter, kChangeKeyboardNotification, std::nullopt);
  });

  return {changeMode->registerClass(), changeAutoCorrection->registerClass(), changeKeyboard->registerClass()};
}

}  // namespace orvane
