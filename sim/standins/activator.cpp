#include "sim/standins/activator.h"

#include "platform/class_definition.h"
#include "sim/standins/host.h"
#include "sim/standins/locale.h"
#include "sim/storage/file_store.h"
#include "sim/trace/value_text.h"

namespace orvane::sim {

using objc::Id;
using objc::Sel;
using platform::ClassDefinition;
using platform::String;
namespace sel = platform::sel;

namespace {

constexpr double kScreenScale = 2.0;

// The instance variables of Activator's objects, an image, a bundle and a locale.
struct ActivatorIvars {
  // Listener name to listener, as registered.
  std::map<std::string, objc::Id, std::less<>> listeners;
};

struct EventIvars {
  std::string name;
  bool handled = false;
};

struct ImageIvars {
  std::string description;
  bool hasCGImage = false;
  bool hasCIImage = false;
};

struct BundleIvars {
  std::string path;
};

struct LocaleIvars {
  std::string identifier;
};

template <class T>
Id makeWith(objc::Class* cls, T ivars) {
  Id object = objc::class_createInstance(cls);
  *objc::ivarsOf<T>(object) = std::move(ivars);
  return object;
}

Id activatorOf(Host& host) { return objc::sendClass(host.runtime().objc_getClass("LAActivator"), sel::sharedInstance); }

Id listenerNamed(Host& host, const std::string& name) {
  const auto* activator = objc::ivarsOf<ActivatorIvars>(activatorOf(host));
  if (activator == nullptr) return nullptr;
  auto it = activator->listeners.find(name);
  return it == activator->listeners.end() ? nullptr : it->second;
}

Id newEvent(Host& host, const std::string& name) {
  return makeWith(host.runtime().objc_getClass("LAEvent"), EventIvars{name, false});
}

std::string boolText(bool b) { return b ? "YES" : "NO"; }
std::string stringText(const String& s) { return s.value_or("(nil)"); }
std::string valueText(const std::optional<Value>& v) { return v ? formatValueText(*v) : "(nil)"; }

}  // namespace

std::string describeImage(const Id& image) {
  const auto* i = objc::ivarsOf<ImageIvars>(image);
  return i ? i->description : "(nil)";
}

void loadActivatorClasses(Host& host) {
  ClassDefinition activatorClass(host.runtime(), nsObject(host), "LAActivator");
  activatorClass.ivars<ActivatorIvars>();
  const Id activator = objc::class_createInstance(activatorClass.cls());
  activatorClass.classMethod(sel::sharedInstance, [activator](const Id&, Sel) -> Id { return activator; })
      .method(sel::registerListener,
              [&host](const Id& self, Sel, Id listener, std::string name) {
                host.trace("activator-register",
                           {{"name", name},
                            {"listener", listener ? std::string(objc::class_getName(objc::object_getClass(*listener)))
                                                  : std::string("nil")},
                            {"object", host.objectName(listener)}});
                objc::ivarsOf<ActivatorIvars>(self)->listeners.insert_or_assign(std::move(name), std::move(listener));
              })
      .method(sel::unregisterListener,
              [&host](const Id& self, Sel, std::string name) {
                host.trace("activator-unregister", {{"name", name}});
                objc::ivarsOf<ActivatorIvars>(self)->listeners.erase(name);
              })
      .method(sel::isRunningInsideSpringBoard, [&host](const Id&, Sel) { return host.isSpringBoard(); })
      .registerClass();

  ClassDefinition(host.runtime(), nsObject(host), "LAEvent")
      .ivars<EventIvars>()
      .method(sel::setHandled,
              [](const Id& self, Sel, bool handled) { objc::ivarsOf<EventIvars>(self)->handled = handled; })
      .registerClass();
}

bool fireActivatorEvent(Host& host, const std::string& name) {
  const Id listener = listenerNamed(host, name);
  if (!listener) return false;
  const Id activator = activatorOf(host);
  const Id event = newEvent(host, "libactivator.gesture");
  host.trace("activator-event", {{"name", name}});
  // Activator prefers the form that tells the listener under which name it fired.
  if (objc::respondsTo(listener, sel::receiveEventForListenerName)) {
    objc::send(listener, sel::receiveEventForListenerName, activator, event, name);
  } else if (objc::respondsTo(listener, sel::receiveEvent)) {
    objc::send(listener, sel::receiveEvent, activator, event);
  }
  host.trace("activator-event-done",
             {{"name", name}, {"handled", boolText(objc::ivarsOf<EventIvars>(event)->handled)}});
  return true;
}

namespace {

// The questions that tell the listener of an event or a change (Activator's own calls), and what
// the listener did with it; nothing for a question that is not one.
std::optional<std::string> tellListener(Host& host, const Id& listener, const Id& activator, const std::string& name,
                                        const std::string& what, const std::string& argument) {
  if (what == "unlocking-event") {
    const bool handled =
        objc::respondsTo(listener, sel::receiveUnlockingDeviceEvent) &&
        objc::send(listener, sel::receiveUnlockingDeviceEvent, activator, newEvent(host, "unlock"), name);
    return boolText(handled);
  } else if (what == "abort" || what == "deactivate" || what == "other-handled") {
    const Id event = newEvent(host, what);
    if (what == "abort" && objc::respondsTo(listener, sel::abortEventForListenerName)) {
      objc::send(listener, sel::abortEventForListenerName, activator, event, name);
    } else if (what == "deactivate" && objc::respondsTo(listener, sel::receiveDeactivateEvent)) {
      objc::send(listener, sel::receiveDeactivateEvent, activator, event);
    } else if (what == "other-handled" && objc::respondsTo(listener, sel::otherListenerDidHandleEvent)) {
      objc::send(listener, sel::otherListenerDidHandleEvent, activator, event);
    }
    return "handled=" + boolText(objc::ivarsOf<EventIvars>(event)->handled);
  } else if (what == "event-mode") {
    if (objc::respondsTo(listener, sel::didChangeToEventMode)) {
      objc::send(listener, sel::didChangeToEventMode, activator, argument.empty() ? "springboard" : argument);
    }
    return "done";
  } else if (what == "save-configuration") {
    if (objc::respondsTo(listener, sel::didSaveNewConfiguration)) {
      objc::send(listener, sel::didSaveNewConfiguration, activator, Id{}, name);
    }
    return "done";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> askActivatorListener(Host& host, const std::string& name, const std::string& what,
                                                const std::string& argument) {
  const Id listener = listenerNamed(host, name);
  if (!listener) return std::nullopt;
  const Id activator = activatorOf(host);
  // What Activator shows for a listener that does not answer a question itself.
  const auto own = [&](const auto& selector, auto fallback, auto&&... args) {
    return objc::respondsTo(listener, selector) ? objc::send(listener, selector, activator, args...) : fallback;
  };
  std::optional<std::string> answer;
  if (what == "title") {
    answer = stringText(own(sel::requiresLocalizedTitle, String(name), name));
  } else if (what == "description") {
    answer = stringText(own(sel::requiresLocalizedDescription, String(), name));
  } else if (what == "group") {
    answer = stringText(own(sel::requiresLocalizedGroup, String(), name));
  } else if (what == "icon") {
    answer = describeImage(own(sel::requiresIcon, Id{}, name, kScreenScale));
  } else if (what == "small-icon") {
    answer = describeImage(own(sel::requiresSmallIcon, Id{}, name, kScreenScale));
  } else if (what == "requires-assignment") {
    answer = valueText(own(sel::requiresRequiresAssignment, std::optional<Value>(), name));
  } else if (what == "event-modes") {
    answer = valueText(own(sel::requiresCompatibleEventModes, std::optional<Value>(), name));
  } else if (what == "compatible") {
    answer = valueText(own(sel::requiresIsCompatibleWithEventName, std::optional<Value>(), argument, name));
  } else if (what == "exclusive-groups") {
    answer = valueText(own(sel::requiresExclusiveAssignmentGroups, std::optional<Value>(), name));
  } else if (what == "powered-display") {
    answer = boolText(own(sel::requiresNeedsPoweredDisplay, false, name));
  } else if (what == "supports-removal") {
    answer = boolText(own(sel::requiresSupportsRemoval, false, name));
  } else if (what == "request-removal") {
    if (objc::respondsTo(listener, sel::requestsRemoval)) objc::send(listener, sel::requestsRemoval, activator, name);
    answer = listenerNamed(host, name) ? "still-registered" : "removed";
  } else if (what == "configuration-class") {
    Id bundle = makeWith(host.runtime().objc_getClass("NSBundle"), BundleIvars{"(untouched)"});
    const String className = own(sel::requiresConfigurationViewControllerClassName, String(), name, &bundle);
    const auto* b = objc::ivarsOf<BundleIvars>(bundle);
    answer = stringText(className) + " bundle=" + (b ? b->path : "(nil)");
  } else if (what == "configuration") {
    answer = own(sel::requestsConfiguration, Id{}, name) ? "object" : "(nil)";
  } else {
    answer = tellListener(host, listener, activator, name, what, argument);
  }
  if (answer) host.trace("activator-answer", {{"name", name}, {"what", what}, {"answer", *answer}});
  return answer;
}

void buildResourceClasses(Host& host) {
  ClassDefinition image(host.runtime(), nsObject(host), "UIImage");
  image.ivars<ImageIvars>()
      .classMethod(sel::imageWithContentsOfFile,
                   [&host, cls = image.cls()](const Id&, Sel, String path) -> Id {
                     if (!path || !host.files().read(*path, 16 << 20)) return nullptr;
                     return makeWith(cls, ImageIvars{"file:" + *path, true, false});
                   })
      .method(sel::CGImage,
              [](const Id& self, Sel) -> Id { return objc::ivarsOf<ImageIvars>(self)->hasCGImage ? self : nullptr; })
      .method(sel::CIImage,
              [](const Id& self, Sel) -> Id { return objc::ivarsOf<ImageIvars>(self)->hasCIImage ? self : nullptr; })
      .registerClass();

  ClassDefinition list(host.runtime(), nsObject(host), "ALApplicationList");
  const Id shared = objc::class_createInstance(list.cls());
  list.classMethod(sel::sharedApplicationList, [shared](const Id&, Sel) -> Id { return shared; })
      .method(sel::iconOfSize,
              [&host, cls = image.cls()](const Id&, Sel, int size, std::string identifier) -> Id {
                host.trace("applist-icon", {{"displayIdentifier", identifier}, {"size", std::to_string(size)}});
                auto icon = host.appIcon(identifier, size);
                if (!icon) return nullptr;
                return makeWith(cls, ImageIvars{"app:" + identifier + "@" + std::to_string(size),
                                                *icon == IconKind::kCGImage, *icon == IconKind::kCIImage});
              })
      .registerClass();

  ClassDefinition bundle(host.runtime(), nsObject(host), "NSBundle");
  bundle.ivars<BundleIvars>()
      .classMethod(sel::bundleWithPath,
                   [&host, cls = bundle.cls()](const Id&, Sel, String path) -> Id {
                     if (!path || !host.files().isDirectory(*path)) return nullptr;
                     return makeWith(cls, BundleIvars{*path});
                   })
      .method(sel::pathForResource,
              [&host](const Id& self, Sel, String name, String type) -> String {
                if (!name) return std::nullopt;
                const std::string path =
                    objc::ivarsOf<BundleIvars>(self)->path + "/" + *name + (type ? "." + *type : std::string());
                return host.files().exists(path) ? String(path) : std::nullopt;
              })
      .registerClass();

  ClassDefinition(host.runtime(), nsObject(host), "NSLocale")
      .ivars<LocaleIvars>()
      .method(sel::initWithLocaleIdentifier,
              [](const Id& self, Sel, String identifier) -> Id {
                objc::ivarsOf<LocaleIvars>(self)->identifier = identifier.value_or("");
                return self;
              })
      .method(sel::displayNameForLocaleIdentifier,
              [](const Id& self, Sel, String value) -> String {
                if (!value) return std::nullopt;
                return localeDisplayName(*value, objc::ivarsOf<LocaleIvars>(self)->identifier);
              })
      .registerClass();
}

}  // namespace orvane::sim
