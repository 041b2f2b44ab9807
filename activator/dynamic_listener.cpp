#include "activator/dynamic_listener.h"

#include <map>
#include <vector>

#include "activator/shared_listener.h"
#include "platform/activator.h"
#include "platform/input_modes.h"
#include "platform/nslog.h"
#include "settings/commands.h"
#include "settings/settings.h"
#include "settings/text.h"

namespace orvane {

namespace {

using objc::Id;
using objc::Sel;
using platform::String;
namespace sel = platform::sel;

constexpr std::string_view kListenerPrefix = "net.varnholt.orvane-";
constexpr std::string_view kUnregisteredAtDestruction = "net.varnholt.orvane";
constexpr std::string_view kTitleFormat = "%@";
constexpr std::string_view kDescriptionFormat = "Changes the keyboard to %@";
constexpr std::string_view kGroup = "Orvane";
constexpr std::string_view kPrefsBundlePath = "/Library/PreferenceBundles/OrvanePrefs.bundle";
constexpr std::string_view kConfigurationBundlePath = "/this/should/not/exist.bundle";
constexpr int kIconSize = 59;
constexpr int kSmallIconSize = 29;
// Names this long or shorter are taken for locale identifiers without looking at the input modes.
constexpr std::size_t kLongestLocaleName = 5;

struct State {
  explicit State(platform::Runtime& runtime)
      : distributedCenter(runtime, "NSDistributedNotificationCenter"),
        applicationList(runtime, "ALApplicationList"),
        locale(runtime, "NSLocale"),
        bundle(runtime, "NSBundle"),
        image(runtime, "UIImage") {}
  Id activatorAtLoad;
  ClassReference distributedCenter;
  ClassReference applicationList;
  ClassReference locale;
  ClassReference bundle;
  ClassReference image;
  // The icons handed out to Activator, kept alive: one per display identifier and size, so asking
  // again replaces rather than piles up.
  std::map<std::pair<std::string, int>, Id> iconsHandedOut;
};

std::vector<std::string> splitAtDots(std::string_view s) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = s.find('.', start);
    pieces.emplace_back(s.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) return pieces;
    start = dot + 1;
  }
}

String langFromLocale(const platform::Platform& platform, State& state, objc::Class* textInputMode,
                      const std::string& name) {
  if (name == "emoji") return std::string("Emoji");
  if (platformLength(name) > kLongestLocaleName) {
    // The list is fetched afresh for every access: it may change while we walk it.
    for (std::size_t i = 0; i < platform::activeInputModes(textInputMode)->size(); ++i) {
      const auto modes = platform::activeInputModes(textInputMode);
      if (i >= modes->size()) break;
      if (platform::isEqualToString(platform::identifierOf((*modes)[i]), name)) {
        const auto again = platform::activeInputModes(textInputMode);
        if (i >= again->size()) break;
        return objc::send((*again)[i], sel::valueForKey, std::string(platform::kDisplayNameKey));
      }
    }
  }
  const Id named =
      objc::send(objc::sendClass(state.locale.get(), sel::alloc), sel::initWithLocaleIdentifier, String(name));
  const String display = objc::send(named, sel::displayNameForLocaleIdentifier, String(name));
  if (!display) return std::nullopt;
  return platform.strings.capitalizedString(*display);
}

// The title and the description show the keyboard's name; when neither an input mode nor the
// locale service can name it, the listener name itself stands in.
std::string shownName(const platform::Platform& platform, State& state, objc::Class* textInputMode,
                      const std::string& stripped) {
  return langFromLocale(platform, state, textInputMode, stripped).value_or(stripped);
}

Id listenerIcon(State& state, const std::string& name, int size) {
  const std::vector<std::string> pieces = splitAtDots(stripListenerPrefix(name));
  if (pieces.size() >= 3) {
    const std::string displayIdentifier = pieces[0] + "." + pieces[1] + "." + pieces[2];
    Id icon = objc::send(objc::sendClass(state.applicationList.get(), sel::sharedApplicationList), sel::iconOfSize,
                         size, displayIdentifier);
    if (icon) state.iconsHandedOut.insert_or_assign({displayIdentifier, size}, icon);
    if (objc::send(icon, sel::CGImage) || objc::send(icon, sel::CIImage)) return icon;
  }
  const Id bundle = objc::sendClass(state.bundle.get(), sel::bundleWithPath, String(std::string(kPrefsBundlePath)));
  const String path = objc::send(bundle, sel::pathForResource, String("Orvane"), String("png"));
  return objc::sendClass(state.image.get(), sel::imageWithContentsOfFile, path);
}

}  // namespace

std::string stripListenerPrefix(std::string_view name) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t at = name.find(kListenerPrefix); at != std::string_view::npos;
       at = name.find(kListenerPrefix, start)) {
    out += name.substr(start, at - start);
    start = at + kListenerPrefix.size();
  }
  out += name.substr(start);
  return out;
}

namespace {

// Load, dealloc, and the events: the one that switches every application's keyboard, and those
// that only dismiss.
void addEventMethods(platform::ClassDefinition& cls, const platform::Platform& platform,
                     const std::shared_ptr<State>& state) {
  cls.classMethod(sel::load, [platform, state](const Id& self, Sel) {
    state->activatorAtLoad = objc::sendClass(platform.runtime.objc_getClass("LAActivator"), sel::sharedInstance);
    objc::send(self, sel::sharedListener);
  });
  cls.method(sel::dealloc, [state](const Id&, Sel) {
    if (objc::send(state->activatorAtLoad, sel::isRunningInsideSpringBoard)) {
      objc::send(state->activatorAtLoad, sel::unregisterListener, std::string(kUnregisteredAtDestruction));
    }
  });

  cls.method(sel::present, [](const Id&, Sel) { return false; });
  cls.method(sel::dismiss, [](const Id&, Sel) { return false; });
  const auto dismissOnly = [](const Id& self, Sel, Id, Id) { objc::send(self, sel::dismiss); };
  cls.method(sel::didChangeToEventMode, [](const Id& self, Sel, Id, std::string) { objc::send(self, sel::dismiss); });
  cls.method(sel::abortEventForListenerName,
             [](const Id& self, Sel, Id, Id, std::string) { objc::send(self, sel::dismiss); });
  cls.method(sel::otherListenerDidHandleEvent, dismissOnly);
  cls.method(sel::receiveDeactivateEvent, [](const Id& self, Sel, Id, Id event) {
    if (objc::send(self, sel::dismiss)) objc::send(event, sel::setHandled, true);
  });
  cls.method(sel::receiveUnlockingDeviceEvent, [](const Id&, Sel, Id, Id, std::string) { return false; });

  cls.method(sel::receiveEventForListenerName, [platform, state](const Id& self, Sel, Id, Id event, std::string name) {
    // No configuration guard here: a missing settings file counts as enabled.
    if (!isEnabled(readSettingsFile(platform.files))) return;
    // The notification carries the name as received, unstripped.
    postDistributed(state->distributedCenter, kChangeToSpecificKeyboardNotification,
                    Dictionary{{std::string(kKeyboardUserInfoKey), Value(std::move(name))}});
    if (objc::send(self, sel::present)) objc::send(event, sel::setHandled, true);
  });
}

// What Activator shows for each action: icons, title, description and group.
void addDescriptionMethods(platform::ClassDefinition& cls, const platform::Platform& platform,
                           const std::shared_ptr<State>& state, objc::Class* textInputMode) {
  cls.method(sel::requiresIcon,
             [state](const Id&, Sel, Id, std::string name, double) { return listenerIcon(*state, name, kIconSize); });
  cls.method(sel::requiresSmallIcon, [state](const Id&, Sel, Id, std::string name, double) {
    return listenerIcon(*state, name, kSmallIconSize);
  });
  cls.method(sel::langFromLocale, [platform, state, textInputMode](const Id&, Sel, std::string name) {
    return langFromLocale(platform, *state, textInputMode, name);
  });
  cls.method(sel::requiresLocalizedTitle,
             [platform, state, textInputMode](const Id&, Sel, Id, std::string name) -> String {
               return platform::formatLog(kTitleFormat,
                                          {shownName(platform, *state, textInputMode, stripListenerPrefix(name))});
             });
  cls.method(sel::requiresLocalizedDescription,
             [platform, state, textInputMode](const Id&, Sel, Id, std::string name) -> String {
               return platform::formatLog(kDescriptionFormat,
                                          {shownName(platform, *state, textInputMode, stripListenerPrefix(name))});
             });
  cls.method(sel::requiresLocalizedGroup,
             [](const Id&, Sel, Id, std::string) -> String { return std::string(kGroup); });
}

// How Activator may assign the actions, and their configuration.
void addAssignmentMethods(platform::ClassDefinition& cls, const std::shared_ptr<State>& state) {
  cls.method(sel::requiresRequiresAssignment,
             [](const Id&, Sel, Id, std::string) -> std::optional<Value> { return Value(false); });
  cls.method(sel::requiresCompatibleEventModes, [](const Id&, Sel, Id, std::string) -> std::optional<Value> {
    return Value(Array{Value("springboard"), Value("lockscreen"), Value("application")});
  });
  cls.method(sel::requiresIsCompatibleWithEventName,
             [](const Id&, Sel, Id, std::string, std::string) -> std::optional<Value> { return Value(true); });
  cls.method(sel::requiresExclusiveAssignmentGroups,
             [](const Id&, Sel, Id, std::string) -> std::optional<Value> { return Value(Array{}); });
  cls.method(sel::requiresNeedsPoweredDisplay, [](const Id&, Sel, Id, std::string) { return true; });
  cls.method(sel::requiresSupportsRemoval, [](const Id&, Sel, Id, std::string) { return true; });
  cls.method(sel::requestsRemoval, [](const Id&, Sel, Id, std::string) {});
  cls.method(sel::requiresConfigurationViewControllerClassName,
             [state](const Id&, Sel, Id, std::string, Id* bundle) -> String {
               if (bundle != nullptr) {
                 *bundle = objc::sendClass(state->bundle.get(), sel::bundleWithPath,
                                           String(std::string(kConfigurationBundlePath)));
               }
               return std::nullopt;
             });
  cls.method(sel::requestsConfiguration, [](const Id&, Sel, Id, std::string) -> Id { return nullptr; });
  cls.method(sel::didSaveNewConfiguration, [](const Id&, Sel, Id, Id, std::string) {});
}

}  // namespace

objc::Class* addDynamicListenerClass(const platform::Platform& platform, objc::Class* textInputMode) {
  auto cls = defineListenerClass(platform.runtime, "DynamicListener");
  auto state = std::make_shared<State>(platform.runtime);
  addEventMethods(*cls, platform, state);
  addDescriptionMethods(*cls, platform, state, textInputMode);
  addAssignmentMethods(*cls, state);
  return cls->registerClass();
}

}  // namespace orvane
