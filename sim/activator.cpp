#include "sim/activator.h"

#include "sim/device.h"
#include "sim/locale.h"
#include "sim/process.h"
#include "sim/value_text.h"

namespace orvane::sim {

using objc::Id;
using objc::Sel;
using platform::String;
namespace sel = platform::sel;

namespace {

constexpr double kScreenScale = 2.0;

class EventObject : public objc::Object {
 public:
  EventObject(objc::Class* isa, std::string eventName) : Object(isa), name(std::move(eventName)) {}
  std::string name;
  bool handled = false;
};

class ImageObject : public objc::Object {
 public:
  ImageObject(objc::Class* isa, std::string source, bool cg, bool ci)
      : Object(isa), description(std::move(source)), hasCGImage(cg), hasCIImage(ci) {}
  std::string description;
  bool hasCGImage;
  bool hasCIImage;
};

class BundleObject : public objc::Object {
 public:
  BundleObject(objc::Class* isa, std::string bundlePath) : Object(isa), path(std::move(bundlePath)) {}
  std::string path;
};

class LocaleObject : public objc::Object {
 public:
  using Object::Object;
  std::string identifier;
};

std::shared_ptr<ActivatorObject> activatorOf(Process& process) {
  return std::static_pointer_cast<ActivatorObject>(
      objc::sendClass(process.objc_getClass("LAActivator"), sel::sharedInstance));
}

Id listenerNamed(Process& process, const std::string& name) {
  auto activator = activatorOf(process);
  if (!activator) return nullptr;
  auto it = activator->listeners.find(name);
  return it == activator->listeners.end() ? nullptr : it->second;
}

Id newEvent(Process& process, const std::string& name) {
  return std::make_shared<EventObject>(process.objc_getClass("LAEvent"), name);
}

std::string boolText(bool b) { return b ? "YES" : "NO"; }
std::string stringText(const String& s) { return s.value_or("(nil)"); }
std::string valueText(const std::optional<Value>& v) { return v ? formatValueText(*v) : "(nil)"; }

}  // namespace

std::string describeImage(const Id& image) {
  auto i = std::dynamic_pointer_cast<ImageObject>(image);
  return i ? i->description : "(nil)";
}

void loadActivatorClasses(Process& process) {
  objc::Class* cls = process.registerClass(std::make_unique<objc::Class>("LAActivator"));
  auto activator = std::make_shared<ActivatorObject>(cls);
  cls->addClassMethod(sel::sharedInstance, [activator](const Id&, Sel) -> Id { return activator; });
  cls->addMethod(sel::registerListener, [&process, activator](const Id&, Sel, Id listener, std::string name) {
    process.trace("activator-register", {{"name", name},
                                         {"listener", listener ? listener->isa()->name() : std::string("nil")},
                                         {"object", process.objectName(listener)}});
    activator->listeners.insert_or_assign(std::move(name), std::move(listener));
  });
  cls->addMethod(sel::unregisterListener, [&process, activator](const Id&, Sel, std::string name) {
    process.trace("activator-unregister", {{"name", name}});
    activator->listeners.erase(name);
  });
  cls->addMethod(sel::isRunningInsideSpringBoard, [&process](const Id&, Sel) { return process.isSpringBoard(); });

  objc::Class* event = process.registerClass(std::make_unique<objc::Class>("LAEvent"));
  event->addMethod(sel::setHandled, [](const Id& self, Sel, bool handled) {
    std::static_pointer_cast<EventObject>(self)->handled = handled;
  });
}

bool fireActivatorEvent(Process& process, const std::string& name) {
  const Id listener = listenerNamed(process, name);
  if (!listener) return false;
  const Id activator = activatorOf(process);
  const Id event = newEvent(process, "libactivator.gesture");
  process.trace("activator-event", {{"name", name}});
  // Activator prefers the form that tells the listener under which name it fired.
  if (objc::respondsTo(listener, sel::receiveEventForListenerName)) {
    objc::send(listener, sel::receiveEventForListenerName, activator, event, name);
  } else if (objc::respondsTo(listener, sel::receiveEvent)) {
    objc::send(listener, sel::receiveEvent, activator, event);
  }
  process.trace("activator-event-done",
                {{"name", name}, {"handled", boolText(std::static_pointer_cast<EventObject>(event)->handled)}});
  return true;
}

std::optional<std::string> askActivatorListener(Process& process, const std::string& name, const std::string& what,
                                                const std::string& argument) {
  const Id listener = listenerNamed(process, name);
  if (!listener) return std::nullopt;
  const Id activator = activatorOf(process);
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
    answer = listenerNamed(process, name) ? "still-registered" : "removed";
  } else if (what == "configuration-class") {
    Id bundle = std::make_shared<BundleObject>(process.objc_getClass("NSBundle"), "(untouched)");
    const String className = own(sel::requiresConfigurationViewControllerClassName, String(), name, &bundle);
    auto b = std::dynamic_pointer_cast<BundleObject>(bundle);
    answer = stringText(className) + " bundle=" + (b ? b->path : "(nil)");
  } else if (what == "configuration") {
    answer = own(sel::requestsConfiguration, Id{}, name) ? "object" : "(nil)";
  } else if (what == "unlocking-event") {
    answer = boolText(own(sel::receiveUnlockingDeviceEvent, false, newEvent(process, "unlock"), name));
  } else if (what == "abort" || what == "deactivate" || what == "other-handled") {
    const Id event = newEvent(process, what);
    if (what == "abort" && objc::respondsTo(listener, sel::abortEventForListenerName)) {
      objc::send(listener, sel::abortEventForListenerName, activator, event, name);
    } else if (what == "deactivate" && objc::respondsTo(listener, sel::receiveDeactivateEvent)) {
      objc::send(listener, sel::receiveDeactivateEvent, activator, event);
    } else if (what == "other-handled" && objc::respondsTo(listener, sel::otherListenerDidHandleEvent)) {
      objc::send(listener, sel::otherListenerDidHandleEvent, activator, event);
    }
    answer = "handled=" + boolText(std::static_pointer_cast<EventObject>(event)->handled);
  } else if (what == "event-mode") {
    if (objc::respondsTo(listener, sel::didChangeToEventMode)) {
      objc::send(listener, sel::didChangeToEventMode, activator, argument.empty() ? "springboard" : argument);
    }
    answer = "done";
  } else if (what == "save-configuration") {
    if (objc::respondsTo(listener, sel::didSaveNewConfiguration)) {
      objc::send(listener, sel::didSaveNewConfiguration, activator, Id{}, name);
    }
    answer = "done";
  }
  if (answer) process.trace("activator-answer", {{"name", name}, {"what", what}, {"answer", *answer}});
  return answer;
}

void buildResourceClasses(Process& process) {
  Device& device = process.device();

  objc::Class* image = process.registerClass(std::make_unique<objc::Class>("UIImage"));
  image->addClassMethod(sel::imageWithContentsOfFile, [&device, image](const Id&, Sel, String path) -> Id {
    if (!path || !device.files().read(*path, 16 << 20)) return nullptr;
    return std::make_shared<ImageObject>(image, "file:" + *path, true, false);
  });
  image->addMethod(sel::CGImage, [](const Id& self, Sel) -> Id {
    return std::static_pointer_cast<ImageObject>(self)->hasCGImage ? self : nullptr;
  });
  image->addMethod(sel::CIImage, [](const Id& self, Sel) -> Id {
    return std::static_pointer_cast<ImageObject>(self)->hasCIImage ? self : nullptr;
  });

  objc::Class* list = process.registerClass(std::make_unique<objc::Class>("ALApplicationList"));
  auto shared = std::make_shared<objc::Object>(list);
  list->addClassMethod(sel::sharedApplicationList, [shared](const Id&, Sel) -> Id { return shared; });
  list->addMethod(sel::iconOfSize, [&process, &device, image](const Id&, Sel, int size, std::string identifier) -> Id {
    process.trace("applist-icon", {{"displayIdentifier", identifier}, {"size", std::to_string(size)}});
    auto icon = device.appIcon(identifier, size);
    if (!icon) return nullptr;
    return std::make_shared<ImageObject>(image, "app:" + identifier + "@" + std::to_string(size),
                                         *icon == Device::IconKind::kCGImage, *icon == Device::IconKind::kCIImage);
  });

  objc::Class* bundle = process.registerClass(std::make_unique<objc::Class>("NSBundle"));
  bundle->addClassMethod(sel::bundleWithPath, [&device, bundle](const Id&, Sel, String path) -> Id {
    if (!path || !device.files().isDirectory(*path)) return nullptr;
    return std::make_shared<BundleObject>(bundle, *path);
  });
  bundle->addMethod(sel::pathForResource, [&device](const Id& self, Sel, String name, String type) -> String {
    if (!name) return std::nullopt;
    const std::string path =
        std::static_pointer_cast<BundleObject>(self)->path + "/" + *name + (type ? "." + *type : std::string());
    return device.files().exists(path) ? String(path) : std::nullopt;
  });

  objc::Class* locale = process.registerClass(std::make_unique<objc::Class>("NSLocale"));
  locale->addClassMethod(sel::alloc, [locale](const Id&, Sel) -> Id { return std::make_shared<LocaleObject>(locale); });
  locale->addMethod(sel::initWithLocaleIdentifier, [](const Id& self, Sel, String identifier) -> Id {
    std::static_pointer_cast<LocaleObject>(self)->identifier = identifier.value_or("");
    return self;
  });
  locale->addMethod(sel::displayNameForLocaleIdentifier, [](const Id& self, Sel, String value) -> String {
    if (!value) return std::nullopt;
    return localeDisplayName(*value, std::static_pointer_cast<LocaleObject>(self)->identifier);
  });
}

}  // namespace orvane::sim
