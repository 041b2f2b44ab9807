// Start-up: what runs once when the loader maps the extension into a process.
#include <array>
#include <utility>

#include "activator/action_listeners.h"
#include "activator/dynamic_listener.h"
#include "agent/global_function.h"
#include "hooks/orvane.h"
#include "platform/activator.h"
#include "platform/nslog.h"

namespace orvane {

namespace {

constexpr std::string_view kActivatorInstalledFormat = "%s[Orvane] ACTIVATOR INSTALLED - SUPPORT ENABLED%s";
constexpr std::string_view kActivatorMissingFormat = "%s[Orvane] ACTIVATOR NOT INSTALLED - SUPPORT DISABLED%s";

}  // namespace

std::string keyboardListenerName(std::string_view identifier) {
  return std::string(identifier.substr(0, identifier.find('@')));
}

Orvane::Orvane(const platform::Platform& platform)
    : platform_(platform),
      textInputMode_(platform.runtime.objc_getClass("UITextInputMode")),
      activeModes_(textInputMode_),
      alertViewClass_(platform.runtime.objc_getClass("UIAlertView")),
      activatorClass_(platform.runtime, "LAActivator"),
      settings_(platform_, activeModes_),
      guards_(platform_, alertViewClass_, settings_),
      plainStep_(platform::hasPlainNextKeyboardStep(platform.system.kCFCoreFoundationVersionNumber())),
      cycler_(platform_, textInputMode_, activeModes_, settings_, plainStep_) {}

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
    platform_.system.NSLog(platform::formatLog(kActivatorMissingFormat, {platform::kColorOn, platform::kColorOff}));
  } else if (platform_.system.mainBundleIdentifier() == platform::names::kSpringBoardBundleIdentifier) {
    platform_.system.NSLog(platform::formatLog(kActivatorInstalledFormat, {platform::kColorOn, platform::kColorOff}));
    registerActivatorListeners();
  }

  installReplacements();

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
  const std::vector<std::string> enabled = stringElements(platform_.preferences.CFPreferencesCopyAppValue(
      platform::names::kAppleKeyboardsKey, platform::names::kGlobalPreferencesDomain));
  for (const std::string& identifier : enabled) {
    send(sendClass(activatorClass_.get(), sel::sharedInstance), sel::registerListener,
         sendClass(dynamicListenerClass_, sel::sharedListener), keyboardListenerName(identifier));
  }
}

void Orvane::installReplacements() {
  using platform::MSHookFunction;
  using platform::MSHookMessageEx;
  namespace sel = platform::sel;
  platform::Runtime& runtime = platform_.runtime;

  MSHookFunction(runtime, platform::symbol::UIApplicationMain,
                 std::function<platform::symbol::UIApplicationMainSignature>(
                     [this](int argc, char** argv, String principal, String delegate) {
                       return replaced_UIApplicationMain(argc, argv, std::move(principal), std::move(delegate));
                     }),
                 &saved_.UIApplicationMain);
  MSHookMessageEx(
      runtime, runtime.objc_getClass("UIInputSwitcherView"), sel::inputModes,
      [this](const Id& self, Sel cmd) { return replaced_inputModes(self, cmd); }, &saved_.inputModes);
  MSHookMessageEx(
      runtime, runtime.objc_getClass("UIKBTree"), sel::displayString,
      [this](const Id& self, Sel cmd) { return replaced_displayString(self, cmd); }, &saved_.displayString);
  MSHookMessageEx(
      runtime, runtime.objc_getClass("UIKeyboardLayoutStar"), sel::touchUp,
      [this](const Id& self, Sel cmd, Id touch) { replaced_touchUp(self, cmd, touch); }, &saved_.touchUp);
  MSHookMessageEx(
      runtime, runtime.objc_getClass("SBLockScreenViewController"), sel::finishUIUnlockFromSource,
      [this](const Id& self, Sel cmd, int source) { replaced_finishUIUnlockFromSource(self, cmd, source); },
      &saved_.finishUIUnlockFromSource);
  if (plainStep_) {
    MSHookMessageEx(
        runtime, runtime.objc_getClass("UIKeyboardImpl"), sel::setInputModeToNextInPreferredList,
        [this](const Id& self, Sel cmd) { replaced_setInputModeToNextInPreferredList(self, cmd); },
        &saved_.setInputModeToNextInPreferredList);
  } else {
    MSHookMessageEx(
        runtime, runtime.objc_getClass("UIKeyboardImpl"), sel::setInputModeToNextInPreferredListWithExecutionContext,
        [this](const Id& self, Sel cmd, Id context) {
          replaced_setInputModeToNextInPreferredListWithExecutionContext(self, cmd, context);
        },
        &saved_.setInputModeToNextInPreferredListWithExecutionContext);
  }
}

int Orvane::replaced_UIApplicationMain(int argc, char** argv, String principalClassName, String delegateClassName) {
  // The agent is created before the application exists; its observer registrations keep it alive
  // until the process ends, and no reference is kept here.
  objc::sendClass(globalFunctionClass_, platform::sel::new_);
  return saved_.UIApplicationMain(argc, argv, std::move(principalClassName), std::move(delegateClassName));
}

}  // namespace orvane
