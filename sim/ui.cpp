#include "sim/ui.h"

#include "sim/device.h"
#include "sim/process.h"

namespace orvane::sim {

using objc::Class;
using objc::Id;
using objc::Object;
using objc::Sel;
using platform::Point;
using platform::String;
namespace sel = platform::sel;

class PlainObject : public Object {
 public:
  using Object::Object;
};

class InputModeObject : public Object {
 public:
  InputModeObject(Class* isa, InputMode mode) : Object(isa), mode(std::move(mode)) {}
  InputMode mode;
};

class KeyObject : public Object {
 public:
  KeyObject(Class* isa, std::string name, std::string label, double x, double y)
      : Object(isa), name(std::move(name)), label(std::move(label)), x(x), y(y) {}
  static constexpr double kWidth = 30;
  static constexpr double kHeight = 40;
  bool contains(Point p) const { return p.x >= x && p.x < x + kWidth && p.y >= y && p.y < y + kHeight; }
  std::string name;
  std::string label;
  double x;
  double y;
  String overrideDisplayString;
};

class ExecutionContextObject : public Object {
 public:
  ExecutionContextObject(Class* isa, int number) : Object(isa), number(number) {}
  int number;
  bool finished = false;
};

class ExecutionQueueObject : public Object {
 public:
  ExecutionQueueObject(Class* isa, std::shared_ptr<ExecutionContextObject> context)
      : Object(isa), context(std::move(context)) {}
  std::shared_ptr<ExecutionContextObject> context;
};

class TouchObject : public Object {
 public:
  TouchObject(Class* isa, Id view, Point point) : Object(isa), view(std::move(view)), point(point) {}
  Id view;
  Point point;
};

class AlertObject : public Object {
 public:
  using Object::Object;
  String title;
  String message;
  String button;
};

namespace {

Class& addClass(Process& process, std::string name) {
  return *process.registerClass(std::make_unique<Class>(std::move(name)));
}

template <class T>
std::shared_ptr<T> self_as(const Id& self) {
  return std::static_pointer_cast<T>(self);
}

// The system's own step: the next active input mode after the current one, wrapping.
void systemNextStep(Process& process, const Id& keyboard) {
  const auto& modes = process.device().activeInputModes();
  if (modes.empty()) {
    process.trace(
        "input-mode-unchanged",
        {{"by", "next-step"}, {"reason", "no active input modes"}, {"keyboard", process.objectName(keyboard)}});
    return;
  }
  std::size_t next = 0;
  const auto& current = process.ui().currentInputMode;
  for (std::size_t i = 0; i < modes.size(); ++i) {
    if (current && modes[i].identifier == current) {
      next = (i + 1) % modes.size();
      break;
    }
  }
  process.setInputModeFromKeyboard(keyboard, modes[next].identifier, "next-step");
}

// UITextInputMode: the active input modes as one immutable array, rebuilt when the device's
// keyboards change, the current one, and their values.
void addInputModeClass(Process& process, Ui& ui) {
  Device& device = process.device();
  Class& inputMode = addClass(process, "UITextInputMode");
  const auto activeModes = [&ui, &device, cls = &inputMode]() -> const platform::ObjectList& {
    if (ui.activeModesGeneration != device.keyboardsGeneration()) {
      auto list = std::make_shared<std::vector<Id>>();
      for (const InputMode& mode : device.activeInputModes())
        list->push_back(std::make_shared<InputModeObject>(cls, mode));
      ui.activeModes = std::move(list);
      ui.activeModesGeneration = device.keyboardsGeneration();
    }
    return ui.activeModes;
  };
  inputMode.addClassMethod(sel::activeInputModes, [activeModes](const Id&, Sel) { return activeModes(); });
  inputMode.addClassMethod(sel::currentInputMode, [&ui, activeModes, cls = &inputMode](const Id&, Sel) -> Id {
    if (!ui.currentInputMode) return nullptr;
    for (const Id& mode : *activeModes()) {
      if (std::static_pointer_cast<InputModeObject>(mode)->mode.identifier == ui.currentInputMode) return mode;
    }
    // A current mode that is no longer active keeps an object of its own.
    auto inactive = std::static_pointer_cast<InputModeObject>(ui.inactiveCurrentMode);
    if (!inactive || inactive->mode.identifier != ui.currentInputMode) {
      ui.inactiveCurrentMode = std::make_shared<InputModeObject>(
          cls, InputMode{*ui.currentInputMode, Device::displayNameFor(*ui.currentInputMode)});
    }
    return ui.inactiveCurrentMode;
  });
  inputMode.addMethod(sel::valueForKey, [](const Id& self, Sel, std::string key) -> String {
    const auto& mode = self_as<InputModeObject>(self)->mode;
    if (key == "identifier") return mode.identifier;
    if (key == "displayName") return mode.displayName;
    return std::nullopt;
  });
}

// A keyboard task's execution context and its queue, which is told to finish it.
void addExecutionContextClasses(Process& process) {
  Class& contextClass = addClass(process, "UIKeyboardTaskExecutionContext");
  Class& queueClass = addClass(process, "UIKeyboardTaskQueue");
  contextClass.addMethod(sel::executionQueue, [cls = &queueClass](const Id& self, Sel) -> Id {
    return std::make_shared<ExecutionQueueObject>(cls, self_as<ExecutionContextObject>(self));
  });
  queueClass.addMethod(sel::finishExecution, [&process](const Id& self, Sel) {
    auto context = self_as<ExecutionQueueObject>(self)->context;
    if (context->finished) {
      process.trace("context-finished-again", {{"context", std::to_string(context->number)}});
      return;
    }
    context->finished = true;
    process.trace("context-finished", {{"context", std::to_string(context->number)}});
  });
}

// UIKeyboardImpl, one object per process, and its auto-correction controller.
void addKeyboardImplClass(Process& process, Ui& ui) {
  Class& controllerClass = addClass(process, "UIKeyboardAutocorrectionController");
  controllerClass.addMethod(sel::setRequestedAutocorrection, [&process](const Id&, Sel, bool on) {
    process.trace("autocorrection-requested", {{"value", on ? "true" : "false"}});
  });
  ui.autocorrectionController = std::make_shared<PlainObject>(&controllerClass);

  Class& keyboardImpl = addClass(process, "UIKeyboardImpl");
  ui.keyboardImpl = std::make_shared<PlainObject>(&keyboardImpl);
  keyboardImpl.addClassMethod(sel::sharedInstance, [&ui](const Id&, Sel) { return ui.keyboardImpl; });
  keyboardImpl.addClassMethod(sel::activeInstance,
                              [&ui](const Id&, Sel) { return ui.keyboardShown ? ui.keyboardImpl : Id{}; });
  keyboardImpl.addMethod(sel::setInputMode, [&process](const Id& self, Sel, String identifier) {
    process.setInputModeFromKeyboard(self, identifier, "setInputMode:");
  });
  keyboardImpl.addMethod(sel::autocorrectionController, [&ui](const Id&, Sel) { return ui.autocorrectionController; });
  // Which form of the step the keyboard has depends on the system version.
  if (platform::hasPlainNextKeyboardStep(process.kCFCoreFoundationVersionNumber())) {
    keyboardImpl.addMethod(sel::setInputModeToNextInPreferredList,
                           [&process](const Id& self, Sel) { systemNextStep(process, self); });
  } else {
    keyboardImpl.addMethod(sel::setInputModeToNextInPreferredListWithExecutionContext,
                           [&process](const Id& self, Sel, Id context) {
                             systemNextStep(process, self);
                             objc::send(objc::send(context, sel::executionQueue), sel::finishExecution);
                           });
  }
}

// The switcher menu (UIInputSwitcherView) and the switcher that closes it.
void addSwitcherClasses(Process& process, Ui& ui) {
  Device& device = process.device();
  Class& switcherView = addClass(process, "UIInputSwitcherView");
  ui.switcherView = std::make_shared<PlainObject>(&switcherView);
  switcherView.addClassMethod(sel::sharedInstance, [&ui](const Id&, Sel) { return ui.switcherView; });
  switcherView.addClassMethod(sel::activeInstance, [&ui](const Id&, Sel) { return ui.switcherView; });
  switcherView.addMethod(sel::inputModes, [&device, &ui](const Id&, Sel) -> platform::StringList {
    ++ui.systemSwitcherLists;
    std::vector<std::string> out;
    for (const InputMode& mode : device.activeInputModes()) {
      if (mode.identifier) out.push_back(*mode.identifier);
    }
    return out;
  });

  Class& inputSwitcher = addClass(process, "UIInputSwitcher");
  ui.inputSwitcher = std::make_shared<PlainObject>(&inputSwitcher);
  inputSwitcher.addClassMethod(sel::sharedInstance, [&ui](const Id&, Sel) { return ui.inputSwitcher; });
  inputSwitcher.addMethod(sel::hideSwitcher, [&process](const Id&, Sel) { process.trace("switcher-hidden"); });
}

// The keys (UIKBTree) of one row of letters and, below, the globe key and the space bar.
void addKeyClass(Process& process, Ui& ui) {
  Class& key = addClass(process, "UIKBTree");
  key.addMethod(sel::name, [](const Id& self, Sel) -> String { return self_as<KeyObject>(self)->name; });
  key.addMethod(sel::displayString, [](const Id& self, Sel) -> String {
    auto k = self_as<KeyObject>(self);
    return k->overrideDisplayString ? k->overrideDisplayString : String(k->label);
  });
  key.addMethod(sel::setOverrideDisplayString, [&process](const Id& self, Sel, String value) {
    auto k = self_as<KeyObject>(self);
    k->overrideDisplayString = value;
    if (process.device().trace().wanted()) {
      process.trace("label-override", {{"key", k->name}, {"text", value.value_or("(nil)")}});
    }
  });
  // One row of letters and, below, the globe key and the space bar.
  const std::string letters = "qwertyuiop";
  for (std::size_t i = 0; i < letters.size(); ++i) {
    const std::string letter(1, letters[i]);
    ui.keys.push_back(std::make_shared<KeyObject>(&key, letter, letter, 30.0 * static_cast<double>(i), 0));
  }
  ui.keys.push_back(std::make_shared<KeyObject>(&key, std::string(kGlobeKeyName), "globe", 0, 40));
  ui.keys.push_back(std::make_shared<KeyObject>(&key, "Space-Key", "space", 30, 40));
}

// A touch and the layout that hit-tests it and, on touch-up, types or steps the keyboard.
void addLayoutClasses(Process& process, Ui& ui) {
  Class& touch = addClass(process, "UITouch");
  touch.addMethod(sel::view, [](const Id& self, Sel) { return self_as<TouchObject>(self)->view; });
  touch.addMethod(sel::locationInView, [](const Id& self, Sel, Id) { return self_as<TouchObject>(self)->point; });

  Class& layout = addClass(process, "UIKeyboardLayoutStar");
  ui.layout = std::make_shared<PlainObject>(&layout);
  layout.addMethod(sel::keyHitTest, [&ui](const Id&, Sel, Point p) -> Id {
    for (const auto& k : ui.keys) {
      if (k->contains(p)) return k;
    }
    return nullptr;
  });
  layout.addMethod(sel::touchUp, [&process, &ui](const Id& self, Sel, Id t) {
    const Point p = objc::send(t, sel::locationInView, objc::send(t, sel::view));
    const Id hit = objc::send(self, sel::keyHitTest, p);
    const String name = objc::send(hit, sel::name);
    if (!name) {
      process.trace("touch-up", {{"key", "(none)"}});
      return;
    }
    if (*name != kGlobeKeyName) {
      process.trace("typed", {{"key", *name}});
      return;
    }
    // The globe key: the keyboard steps to its next input mode, with a context of its own where the
    // step takes one.
    const bool plain = platform::hasPlainNextKeyboardStep(process.kCFCoreFoundationVersionNumber());
    platform::sendNextKeyboardStep(ui.keyboardImpl, plain, plain ? Id{} : makeExecutionContext(process, ui));
  });
}

void buildKeyboardClasses(Process& process, Ui& ui) {
  addInputModeClass(process, ui);
  addExecutionContextClasses(process);
  addKeyboardImplClass(process, ui);
  addSwitcherClasses(process, ui);
  addKeyClass(process, ui);
  addLayoutClasses(process, ui);
}

void buildAppClasses(Process& process, Ui& ui) {
  Class& alert = addClass(process, "UIAlertView");
  alert.addClassMethod(sel::alloc, [cls = &alert](const Id&, Sel) -> Id { return std::make_shared<AlertObject>(cls); });
  alert.addMethod(sel::initAlert, [](const Id& self, Sel, String title, String message, Id, String cancel, Id) {
    auto a = self_as<AlertObject>(self);
    a->title = std::move(title);
    a->message = std::move(message);
    a->button = std::move(cancel);
    return self;
  });
  alert.addMethod(sel::autorelease, [](const Id& self, Sel) { return self; });
  alert.addMethod(sel::show, [&process](const Id& self, Sel) {
    auto a = self_as<AlertObject>(self);
    process.addAlert(Alert{a->title.value_or(""), a->message.value_or(""), a->button.value_or("")});
  });

  Class& local = addClass(process, "NSNotificationCenter");
  ui.localCenter = std::make_shared<PlainObject>(&local);
  local.addClassMethod(sel::defaultCenter, [&ui](const Id&, Sel) { return ui.localCenter; });
  local.addMethod(sel::addObserverForName,
                  [&process](const Id&, Sel, std::string name, platform::NotificationHandler h) {
                    process.addLocalObserver(std::move(name), std::move(h));
                  });
  local.addMethod(sel::postNotification, [&process](const Id&, Sel, std::string name, Id, std::optional<Dictionary>) {
    process.postLocal(name);
  });

  Class& distributed = addClass(process, "NSDistributedNotificationCenter");
  ui.distributedCenter = std::make_shared<PlainObject>(&distributed);
  distributed.addClassMethod(sel::defaultCenter, [&ui](const Id&, Sel) { return ui.distributedCenter; });
  distributed.addMethod(sel::addObserverForName,
                        [&process](const Id&, Sel, std::string name, platform::NotificationHandler h) {
                          process.addDistributedObserver(std::move(name), std::move(h));
                        });
  distributed.addMethod(
      sel::postNotification, [&process](const Id&, Sel, std::string name, Id, std::optional<Dictionary> userInfo) {
        process.device().postDistributed(process, platform::Notification{std::move(name), std::move(userInfo)});
      });

  if (process.isSpringBoard()) {
    Class& lockScreen = addClass(process, "SBLockScreenViewController");
    ui.lockScreen = std::make_shared<PlainObject>(&lockScreen);
    lockScreen.addMethod(sel::finishUIUnlockFromSource, [&process](const Id&, Sel, int source) {
      process.trace("unlocked", {{"source", std::to_string(source)}});
    });
  }
}

}  // namespace

void buildUi(Process& process, Ui& ui) {
  buildKeyboardClasses(process, ui);
  buildAppClasses(process, ui);
}

std::optional<Point> keyCenter(const Ui& ui, std::string_view name) {
  for (const auto& k : ui.keys) {
    if (k->name == name) return Point{k->x + KeyObject::kWidth / 2, k->y + KeyObject::kHeight / 2};
  }
  return std::nullopt;
}

void rebuildKeys(Ui& ui) {
  for (auto& key : ui.keys) {
    key = std::make_shared<KeyObject>(key->isa(), key->name, key->label, key->x, key->y);
  }
}

Id keyNamed(const Ui& ui, std::string_view name) {
  for (const auto& k : ui.keys) {
    if (objc::send(k, sel::name) == String(std::string(name))) return k;
  }
  return nullptr;
}

Id makeExecutionContext(Process& process, Ui& ui) {
  auto context = std::make_shared<ExecutionContextObject>(process.objc_getClass("UIKeyboardTaskExecutionContext"),
                                                          ++ui.contextsCreated);
  ui.openContexts.push_back(context);
  return context;
}

void reportUnfinishedContexts(Process& process, Ui& ui) {
  for (const auto& context : ui.openContexts) {
    if (!context->finished) process.trace("context-unfinished", {{"context", std::to_string(context->number)}});
  }
  ui.openContexts.clear();
}

Id makeTouch(Process& process, const Ui& ui, Point point) {
  return std::make_shared<TouchObject>(process.objc_getClass("UITouch"), ui.layout, point);
}

}  // namespace orvane::sim
