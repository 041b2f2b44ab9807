#include "agent/global_function.h"

#include "platform/class_definition.h"
#include "platform/class_reference.h"
#include "platform/nslog.h"
#include "settings/commands.h"
#include "settings/keyboard_step.h"
#include "settings/settings.h"
#include "settings/text.h"

namespace orvane {

namespace {

using objc::Id;
using objc::Sel;
using platform::Notification;
namespace sel = platform::sel;

constexpr objc::Selector<void(Notification)> kCloseKeyboardMenu{"closeKeyboardMenu:"};
constexpr objc::Selector<void(Notification)> kChangeKeyboard{"changeKeyboard:"};
constexpr objc::Selector<void(Notification)> kChangeToSpecificKeyboard{"changeToSpecificKeyboard:"};
constexpr objc::Selector<void(Notification)> kKeyboardWillShow{"keyboardWillShow:"};
constexpr objc::Selector<void(Notification)> kKeyboardWillHide{"keyboardWillHide:"};

constexpr std::string_view kSwitchingLogFormat = "%s[Orvane] Vou mudar para %@%s";
constexpr std::string_view kSharedInputsLogFormat = "%s[Orvane] sharedInstance inputs: %@%s";
constexpr std::string_view kActiveInputsLogFormat = "%s[Orvane] activeInstance inputs: %@%s";
// A default keyboard this short (or absent) is ignored.
constexpr std::size_t kShortestDefaultKeyboard = 5;

// The classes the commands look up at every use, kept once found.
struct AgentClasses {
  explicit AgentClasses(platform::Runtime& runtime)
      : keyboardImpl(runtime, "UIKeyboardImpl"),
        inputSwitcher(runtime, "UIInputSwitcher"),
        switcherView(runtime, "UIInputSwitcherView") {}
  platform::ClassReference keyboardImpl;
  platform::ClassReference inputSwitcher;
  platform::ClassReference switcherView;

  Id sharedKeyboardImpl() { return objc::sendClass(keyboardImpl.get(), sel::sharedInstance); }
};

// Has the agent's method `handler` carry out every notification of that name.
void observe(const Id& center, std::string_view name, const Id& agent,
             const objc::Selector<void(Notification)>& handler) {
  objc::send(center, sel::addObserverForName, std::string(name),
             platform::NotificationHandler([agent, handler](const Notification& n) { objc::send(agent, handler, n); }));
}

// The default keyboard's switch, once the keyboard has appeared: said in the log with the switcher's
// shared and active lists, then made.
void switchToDefaultKeyboard(const platform::Platform& platform, AgentClasses& classes, const std::string& identifier) {
  platform.system.NSLog(platform::formatLog(kSwitchingLogFormat, {kColorOn, identifier, kColorOff}));
  objc::Class* switcherView = classes.switcherView.get();
  const std::string shared = describe(objc::send(objc::sendClass(switcherView, sel::sharedInstance), sel::inputModes));
  platform.system.NSLog(platform::formatLog(kSharedInputsLogFormat, {kColorOn, shared, kColorOff}));
  const std::string active = describe(objc::send(objc::sendClass(switcherView, sel::activeInstance), sel::inputModes));
  platform.system.NSLog(platform::formatLog(kActiveInputsLogFormat, {kColorOn, active, kColorOff}));
  objc::send(classes.sharedKeyboardImpl(), sel::setInputMode, platform::String(identifier));
}

}  // namespace

objc::Class* addGlobalFunctionClass(const platform::Platform& platform, bool* keyboardShownFlag) {
  // An NSObject: +alloc and +new are the root's.
  platform::ClassDefinition cls(platform.runtime, platform.runtime.objc_getClass("NSObject"), "GlobalFunction");
  auto classes = std::make_shared<AgentClasses>(platform.runtime);

  cls.method(sel::init, [platform](const Id& self, Sel) -> Id {
    if (!self) return nullptr;
    platform::Runtime& runtime = platform.runtime;
    const Id distributed =
        objc::sendClass(runtime.objc_getClass("NSDistributedNotificationCenter"), sel::defaultCenter);
    observe(distributed, kCloseKeyboardMenuNotification, self, kCloseKeyboardMenu);
    observe(distributed, kChangeKeyboardNotification, self, kChangeKeyboard);
    observe(distributed, kChangeToSpecificKeyboardNotification, self, kChangeToSpecificKeyboard);
    const Id local = objc::sendClass(runtime.objc_getClass("NSNotificationCenter"), sel::defaultCenter);
    observe(local, platform::names::kUIKeyboardWillShowNotification, self, kKeyboardWillShow);
    observe(local, platform::names::kUIKeyboardWillHideNotification, self, kKeyboardWillHide);
    return self;
  });

  cls.method(kCloseKeyboardMenu, [classes](const Id&, Sel, Notification) {
    objc::send(objc::sendClass(classes->inputSwitcher.get(), sel::sharedInstance), sel::hideSwitcher);
  });

  // Sent through the method table, so the replaced step runs: in mode 1 the next selected keyboard.
  cls.method(kChangeKeyboard, [platform, classes](const Id&, Sel, Notification) {
    platform::sendNextKeyboardStep(
        classes->sharedKeyboardImpl(),
        usesPlainNextKeyboardStep(classes->keyboardImpl.get(), platform.system.kCFCoreFoundationVersionNumber()), Id{});
  });

  cls.method(kChangeToSpecificKeyboard, [platform, classes](const Id&, Sel, Notification notification) {
    const bool enabled = isEnabled(readSettingsFile(platform.files));
    // A "keyboard" entry that is missing or not a string is passed on as no identifier at all.
    const platform::String identifier =
        notification.userInfo ? stringSetting(*notification.userInfo, kKeyboardUserInfoKey) : std::nullopt;
    if (enabled) objc::send(classes->sharedKeyboardImpl(), sel::setInputMode, identifier);
  });

  cls.method(kKeyboardWillShow, [platform, classes, keyboardShownFlag](const Id&, Sel, Notification) {
    // Once per showing: nothing more until the keyboard has been hidden again.
    if (*keyboardShownFlag) return;
    const Dictionary settings = readSettingsFile(platform.files);
    if (!isEnabled(settings)) {
      *keyboardShownFlag = true;
      return;
    }
    const platform::String defaultKeyboard = stringSetting(settings, kDefaultKeyboardKey);
    if (defaultKeyboard && platformLength(*defaultKeyboard) >= kShortestDefaultKeyboard) {
      // After the will-show has been handled, on the main queue.
      platform.system.dispatchAsyncMain([platform, classes, identifier = *defaultKeyboard] {
        switchToDefaultKeyboard(platform, *classes, identifier);
      });
    }
    *keyboardShownFlag = true;
  });

  cls.method(kKeyboardWillHide, [keyboardShownFlag](const Id&, Sel, Notification) { *keyboardShownFlag = false; });
  return cls.registerClass();
}

}  // namespace orvane
