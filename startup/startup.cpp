// Start-up: what runs once when the loader maps the extension into a process.
#include <array>
#include <utility>

#include "activator/action_listeners.h"
#include "activator/dynamic_listener.h"
#include "agent/global_function.h"
#include "platform/activator.h"
#include "platform/nslog.h"
#include "settings/commands.h"
#include "settings/keyboard_step.h"
#include "settings/text.h"
#include "startup/orvane.h"

namespace orvane {

namespace {

constexpr std::string_view kActivatorInstalledFormat = "%s[Orvane] ACTIVATOR INSTALLED - SUPPORT ENABLED%s";
constexpr std::string_view kActivatorMissingFormat = "%s[Orvane] ACTIVATOR NOT INSTALLED - SUPPORT DISABLED%s";

}  // namespace

Orvane::Orvane(const platform::Platform& platform)
    : platform_(platform),
      textInputMode_(platform.runtime.objc_getClass("UITextInputMode")),
      activeModes_(textInputMode_),
      activatorClass_(platform.runtime, "LAActivator"),
      settings_(platform_, activeModes_),
      guards_(platform_, platform.runtime.objc_getClass("UIAlertView"), settings_),
      replacements_(platform_, settings_, guards_, activeModes_, textInputMode_,
                    platform.runtime.objc_getClass("UIAlertView"),
                    usesPlainNextKeyboardStep(platform.runtime.objc_getClass("UIKeyboardImpl"),
                                              platform.system.kCFCoreFoundationVersionNumber()),
                    hasPlainNextKeyboardStep(platform.system.kCFCoreFoundationVersionNumber())) {}

std::unique_ptr<platform::Library> makeOrvane(const platform::Platform& platform) {
  return std::make_unique<Orvane>(platform);
}

void Orvane::loadClasses() {
  globalFunctionClass_ = addGlobalFunctionClass(platform_, &keyboardShownFlag_);
  const ActionListenerClasses actions = addActionListenerClasses(platform_, guards_);
  changeModeClass_ = actions.changeMode;
  changeAutoCorrectionClass_ = actions.changeAutoCorrection;
  changeKeyboardClass_ = actions.changeKeyboard;
  dynamicListenerClass_ = addDynamicListenerClass(platform_, textInputMode_);
  // The class's own load step: its shared instance exists before start-up registers it.
  objc::sendClass(dynamicListenerClass_, platform::sel::load);
}

void Orvane::libraryDidLoad() {
  // Only the class lookup decides whether Activator is there; the handle is never used or closed.
  platform_.runtime.dlopen(platform::names::kActivatorLibraryPath, platform::names::kRTLD_LAZY);
  if (activatorClass_.get() == nullptr) {
    platform_.system.NSLog(platform::formatLog(kActivatorMissingFormat, {kColorOn, kColorOff}));
  } else if (platform_.system.mainBundleIdentifier() == platform::names::kSpringBoardBundleIdentifier) {
    platform_.system.NSLog(platform::formatLog(kActivatorInstalledFormat, {kColorOn, kColorOff}));
    registerActivatorListeners();
  }

  platform::MSHookFunction(platform_.runtime, platform::symbol::UIApplicationMain,
                           std::function<platform::symbol::UIApplicationMainSignature>(
                               [this](int argc, char** argv, platform::String principal, platform::String delegate) {
                                 return replaced_UIApplicationMain(argc, argv, std::move(principal),
                                                                   std::move(delegate));
                               }),
                           &savedUIApplicationMain_);
  replacements_.install();

  platform_.notify.CFNotificationCenterAddObserver(
      kPrefsChangedNotification, [this](std::string_view) { settings_.reloadSettings(); },
      platform::Notify::kCFNotificationSuspensionBehaviorCoalesce);
  // Load now, so the cache holds the settings before any replacement can run.
  settings_.reloadSettings();
}

void Orvane::registerActivatorListeners() {
  using objc::send;
  using objc::sendClass;
  namespace sel = platform::sel;

  const std::array<std::pair<objc::Class*, std::string_view>, 3> fixed = {{
      {changeModeClass_, "net.varnholt.orvane.change-mode"},
      {changeAutoCorrectionClass_, "net.varnholt.orvane.change-autocorrection"},
      {changeKeyboardClass_, "net.varnholt.orvane.change-keyboard"},
  }};
  for (const auto& [listenerClass, name] : fixed) {
    send(sendClass(activatorClass_.get(), sel::sharedInstance), sel::registerListener,
         sendClass(listenerClass, sel::sharedListener), std::string(name));
  }

  platform_.preferences.CFPreferencesAppSynchronize(platform::names::kGlobalPreferencesDomain);
  // Only strings: each element is split at "@", a message a number or a dictionary does not answer,
  // and an exception here would end SpringBoard at every boot.
  const std::vector<std::string> enabled = stringElements(platform_.preferences.CFPreferencesCopyAppValue(
      platform::names::kAppleKeyboardsKey, platform::names::kGlobalPreferencesDomain));
  for (const std::string& identifier : enabled) {
    send(sendClass(activatorClass_.get(), sel::sharedInstance), sel::registerListener,
         sendClass(dynamicListenerClass_, sel::sharedListener), keyboardListenerName(identifier));
  }
}

int Orvane::replaced_UIApplicationMain(int argc, char** argv, platform::String principalClassName,
                                       platform::String delegateClassName) {
  // The agent is created before the application exists; its observer registrations keep it alive
  // until the process ends, and no reference is kept here.
  objc::sendClass(globalFunctionClass_, platform::sel::new_);
  return savedUIApplicationMain_(argc, argv, std::move(principalClassName), std::move(delegateClassName));
}

}  // namespace orvane
