// The platform classes and messages the extension uses, as typed selectors. The classes themselves
// belong to the platform: the extension looks them up by name (`Runtime::objc_getClass`) and sends
// these messages, never touching their objects in any other way.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/runtime.h"
#include "platform/value.h"

namespace orvane::platform {

using objc::FunctionSymbol;
using objc::Id;
using objc::Selector;

// An NSString that may be nil.
using String = std::optional<std::string>;
// An NSArray of NSStrings that may be nil.
using StringList = std::optional<std::vector<std::string>>;
// An immutable NSArray of objects, shared by reference; nil is empty.
using ObjectList = std::shared_ptr<const std::vector<Id>>;

struct Point {
  double x = 0;
  double y = 0;
};

// What a notification observer receives.
struct Notification {
  std::string name;
  std::optional<Dictionary> userInfo;
};
using NotificationHandler = std::function<void(const Notification&)>;

namespace sel {
// Objects in general.
inline constexpr Selector<Id()> alloc{"alloc"};
inline constexpr Selector<Id()> new_{"new"};
inline constexpr Selector<Id()> init{"init"};
inline constexpr Selector<Id()> autorelease{"autorelease"};
inline constexpr Selector<void()> dealloc{"dealloc"};
inline constexpr Selector<Id()> sharedInstance{"sharedInstance"};
inline constexpr Selector<Id()> activeInstance{"activeInstance"};

// UITextInputMode
inline constexpr Selector<ObjectList()> activeInputModes{"activeInputModes"};
inline constexpr Selector<Id()> currentInputMode{"currentInputMode"};
// valueForKey: with "identifier" or "displayName".
inline constexpr Selector<String(std::string key)> valueForKey{"valueForKey:"};

// UIKeyboardImpl
inline constexpr Selector<void(String identifier)> setInputMode{"setInputMode:"};
inline constexpr Selector<void()> setInputModeToNextInPreferredList{"setInputModeToNextInPreferredList"};
inline constexpr Selector<void(Id context)> setInputModeToNextInPreferredListWithExecutionContext{
    "setInputModeToNextInPreferredListWithExecutionContext:"};
inline constexpr Selector<Id()> autocorrectionController{"autocorrectionController"};
inline constexpr Selector<void(bool)> setRequestedAutocorrection{"setRequestedAutocorrection:"};

// The keyboard's execution context and its queue.
inline constexpr Selector<Id()> executionQueue{"executionQueue"};
inline constexpr Selector<void()> finishExecution{"finishExecution"};

// UIInputSwitcherView
inline constexpr Selector<StringList()> inputModes{"inputModes"};
// UIInputSwitcher
inline constexpr Selector<void()> hideSwitcher{"hideSwitcher"};

// UIKBTree (a key)
inline constexpr Selector<String()> name{"name"};
inline constexpr Selector<String()> displayString{"displayString"};
inline constexpr Selector<void(String)> setOverrideDisplayString{"setOverrideDisplayString:"};

// UIKeyboardLayoutStar and the touch
inline constexpr Selector<Id(Point)> keyHitTest{"keyHitTest:"};
inline constexpr Selector<void(Id touch)> touchUp{"touchUp:"};
inline constexpr Selector<Id()> view{"view"};
inline constexpr Selector<Point(Id view)> locationInView{"locationInView:"};

// SBLockScreenViewController
inline constexpr Selector<void(int source)> finishUIUnlockFromSource{"finishUIUnlockFromSource:"};

// UIAlertView: initWithTitle:message:delegate:cancelButtonTitle:otherButtonTitles:, then show.
inline constexpr Selector<Id(String title, String message, Id delegate, String cancelButtonTitle, Id otherButtonTitles)>
    initAlert{"initWithTitle:message:delegate:cancelButtonTitle:otherButtonTitles:"};
inline constexpr Selector<void()> show{"show"};

// NSNotificationCenter and NSDistributedNotificationCenter
inline constexpr Selector<Id()> defaultCenter{"defaultCenter"};
inline constexpr Selector<void(std::string name, NotificationHandler handler)> addObserverForName{
    "addObserver:selector:name:object:"};
inline constexpr Selector<void(std::string name, Id object, std::optional<Dictionary> userInfo)> postNotification{
    "postNotificationName:object:userInfo:"};

// LAActivator
inline constexpr Selector<void(Id listener, std::string name)> registerListener{"registerListener:forName:"};
inline constexpr Selector<void(std::string name)> unregisterListener{"unregisterListenerWithName:"};
inline constexpr Selector<bool()> isRunningInsideSpringBoard{"isRunningInsideSpringBoard"};
inline constexpr Selector<Id()> sharedListener{"sharedListener"};
}  // namespace sel

namespace symbol {
// int UIApplicationMain(int argc, char* argv[], NSString* principalClassName, NSString* delegateClassName)
using UIApplicationMainSignature = int(int argc, char** argv, String principalClassName, String delegateClassName);
inline constexpr FunctionSymbol<UIApplicationMainSignature> UIApplicationMain{"UIApplicationMain"};
}  // namespace symbol

namespace names {
inline constexpr std::string_view kGlobeKeyName = "International-Key";
inline constexpr std::string_view kGlobalPreferencesDomain = ".GlobalPreferences";
// The enabled keyboards' identifiers, in the system's order, in ".GlobalPreferences".
inline constexpr std::string_view kAppleKeyboardsKey = "AppleKeyboards";
// The system keyboard preferences' domain, and what is announced after a key of it changes.
inline constexpr std::string_view kKeyboardPreferencesDomain = "com.apple.Preferences";
// The keyboard last used, in kKeyboardPreferencesDomain: where a keyboard starts.
inline constexpr std::string_view kKeyboardLastUsedKey = "KeyboardLastUsed";
inline constexpr std::string_view kKeyboardsChangedNotification = "AppleKeyboardsSettingsChangedNotification";
inline constexpr std::string_view kUIKeyboardWillShowNotification = "UIKeyboardWillShowNotification";
inline constexpr std::string_view kUIKeyboardWillHideNotification = "UIKeyboardWillHideNotification";
inline constexpr std::string_view kSpringBoardBundleIdentifier = "com.apple.springboard";
inline constexpr std::string_view kActivatorLibraryPath = "/usr/lib/libactivator.dylib";
inline constexpr int kRTLD_LAZY = 1;
}  // namespace names

// Sends the system's next-keyboard step to `keyboard` in the form this system has: the plain step,
// or the step with an execution context (nil allowed).
inline void sendNextKeyboardStep(const Id& keyboard, bool plainStep, const Id& context) {
  if (plainStep) {
    objc::send(keyboard, sel::setInputModeToNextInPreferredList);
  } else {
    objc::send(keyboard, sel::setInputModeToNextInPreferredListWithExecutionContext, context);
  }
}

}  // namespace orvane::platform
