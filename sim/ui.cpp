#include "sim/ui.h"

#include "platform/class_definition.h"
#include "sim/device.h"
#include "sim/process.h"

namespace orvane::sim {

using objc::Class;
using objc::Id;
using objc::Sel;
using platform::ClassDefinition;
using platform::Point;
using platform::String;
namespace sel = platform::sel;

// The instance variables of the stand-in classes.
struct InputModeIvars {
  InputMode mode;
};

struct KeyIvars {
  static constexpr double kWidth = 30;
  static constexpr double kHeight = 40;
  bool contains(Point p) const { return p.x >= x && p.x < x + kWidth && p.y >= y && p.y < y + kHeight; }
  std::string name;
  std::string label;
  double x = 0;
  double y = 0;
  String overrideDisplayString;
};

struct ExecutionContextIvars {
  int number = 0;
  bool finished = false;
};

struct ExecutionQueueIvars {
  Id context;
};

struct TouchIvars {
  Id view;
  Point point;
};

struct AlertIvars {
  String title;
  String message;
  String button;
};

namespace {

Class* nsObject(Process& process) { return process.objc_getClass("NSObject"); }

// A new object of the class `name`, with its instance variables.
Id make(Process& process, std::string_view name) { return objc::class_createInstance(process.objc_getClass(name)); }

template <class T>
T& ivars(const Id& self) {
  return *objc::ivarsOf<T>(self);
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
  ClassDefinition inputMode(process, nsObject(process), "UITextInputMode");
  inputMode.ivars<InputModeIvars>();
  const auto modeObject = [cls = inputMode.cls()](InputMode mode) {
    Id object = objc::class_createInstance(cls);
    ivars<InputModeIvars>(object).mode = std::move(mode);
    return object;
  };
  const auto activeModes = [&ui, &device, modeObject]() -> const platform::ObjectList& {
    if (ui.activeModesGeneration != device.keyboardsGeneration()) {
      auto list = std::make_shared<std::vector<Id>>();
      for (const InputMode& mode : device.activeInputModes()) list->push_back(modeObject(mode));
      ui.activeModes = std::move(list);
      ui.activeModesGeneration = device.keyboardsGeneration();
    }
    return ui.activeModes;
  };
  inputMode.classMethod(sel::activeInputModes, [activeModes](const Id&, Sel) { return activeModes(); });
  inputMode.classMethod(sel::currentInputMode, [&ui, activeModes, modeObject](const Id&, Sel) -> Id {
    if (!ui.currentInputMode) return nullptr;
    for (const Id& mode : *activeModes()) {
      if (ivars<InputModeIvars>(mode).mode.identifier == ui.currentInputMode) return mode;
    }
    // A current mode that is no longer active keeps an object of its own.
    const auto* inactive = objc::ivarsOf<InputModeIvars>(ui.inactiveCurrentMode);
    if (inactive == nullptr || inactive->mode.identifier != ui.currentInputMode) {
      ui.inactiveCurrentMode = modeObject(InputMode{*ui.currentInputMode, Device::displayNameFor(*ui.currentInputMode)});
    }
    return ui.inactiveCurrentMode;
  });
  inputMode.method(sel::valueForKey, [](const Id& self, Sel, std::string key) -> String {
    const auto& mode = ivars<InputModeIvars>(self).mode;
    if (key == "identifier") return mode.identifier;
    if (key == "displayName") return mode.displayName;
    return std::nullopt;
  });
  inputMode.registerClass();
}

// A keyboard task's execution context and its queue, which is told to finish it.
void addExecutionContextClasses(Process& process) {
  ClassDefinition queueClass(process, nsObject(process), "UIKeyboardTaskQueue");
  queueClass.ivars<ExecutionQueueIvars>().method(sel::finishExecution, [&process](const Id& self, Sel) {
    auto& context = ivars<ExecutionContextIvars>(ivars<ExecutionQueueIvars>(self).context);
    if (context.finished) {
      process.trace("context-finished-again", {{"context", std::to_string(context.number)}});
      return;
    }
    context.finished = true;
    process.trace("context-finished", {{"context", std::to_string(context.number)}});
  });
  ClassDefinition(process, nsObject(process), "UIKeyboardTaskExecutionContext")
      .ivars<ExecutionContextIvars>()
      .method(sel::executionQueue,
              [cls = queueClass.registerClass()](const Id& self, Sel) {
                Id queue = objc::class_createInstance(cls);
                ivars<ExecutionQueueIvars>(queue).context = self;
                return queue;
              })
      .registerClass();
}

// UIKeyboardImpl, one object per process, and its auto-correction controller.
void addKeyboardImplClass(Process& process, Ui& ui) {
  ClassDefinition(process, nsObject(process), "UIKeyboardAutocorrectionController")
      .method(sel::setRequestedAutocorrection,
              [&process](const Id&, Sel, bool on) {
                process.trace("autocorrection-requested", {{"value", on ? "true" : "false"}});
              })
      .registerClass();
  ui.autocorrectionController = make(process, "UIKeyboardAutocorrectionController");

  ClassDefinition keyboardImpl(process, nsObject(process), "UIKeyboardImpl");
  keyboardImpl.classMethod(sel::sharedInstance, [&ui](const Id&, Sel) { return ui.keyboardImpl; });
  keyboardImpl.classMethod(sel::activeInstance,
                           [&ui](const Id&, Sel) { return ui.keyboardShown ? ui.keyboardImpl : Id{}; });
  keyboardImpl.method(sel::setInputMode, [&process](const Id& self, Sel, String identifier) {
    process.setInputModeFromKeyboard(self, identifier, "setInputMode:");
  });
  keyboardImpl.method(sel::autocorrectionController, [&ui](const Id&, Sel) { return ui.autocorrectionController; });
  // Which form of the step the keyboard has depends on the system version.
  if (platform::hasPlainNextKeyboardStep(process.kCFCoreFoundationVersionNumber())) {
    keyboardImpl.method(sel::setInputModeToNextInPreferredList,
                        [&process](const Id& self, Sel) { systemNextStep(process, self); });
  } else {
    keyboardImpl.method(sel::setInputModeToNextInPreferredListWithExecutionContext,
                        [&process](const Id& self, Sel, Id context) {
                          systemNextStep(process, self);
                          objc::send(objc::send(context, sel::executionQueue), sel::finishExecution);
                        });
  }
  keyboardImpl.registerClass();
  ui.keyboardImpl = make(process, "UIKeyboardImpl");
}

// The switcher menu (UIInputSwitcherView) and the switcher that closes it.
void addSwitcherClasses(Process& process, Ui& ui) {
  Device& device = process.device();
  ClassDefinition(process, nsObject(process), "UIInputSwitcherView")
      .classMethod(sel::sharedInstance, [&ui](const Id&, Sel) { return ui.switcherView; })
      .classMethod(sel::activeInstance, [&ui](const Id&, Sel) { return ui.switcherView; })
      .method(sel::inputModes,
              [&device, &ui](const Id&, Sel) -> platform::StringList {
                ++ui.systemSwitcherLists;
                std::vector<std::string> out;
                for (const InputMode& mode : device.activeInputModes()) {
                  if (mode.identifier) out.push_back(*mode.identifier);
                }
                return out;
              })
      .registerClass();
  ui.switcherView = make(process, "UIInputSwitcherView");

  ClassDefinition(process, nsObject(process), "UIInputSwitcher")
      .classMethod(sel::sharedInstance, [&ui](const Id&, Sel) { return ui.inputSwitcher; })
      .method(sel::hideSwitcher, [&process](const Id&, Sel) { process.trace("switcher-hidden"); })
      .registerClass();
  ui.inputSwitcher = make(process, "UIInputSwitcher");
}

// The keys (UIKBTree) of one row of letters and, below, the globe key and the space bar.
void addKeyClass(Process& process, Ui& ui) {
  Class* key = ClassDefinition(process, nsObject(process), "UIKBTree")
                   .ivars<KeyIvars>()
                   .method(sel::name, [](const Id& self, Sel) -> String { return ivars<KeyIvars>(self).name; })
                   .method(sel::displayString,
                           [](const Id& self, Sel) -> String {
                             const KeyIvars& k = ivars<KeyIvars>(self);
                             return k.overrideDisplayString ? k.overrideDisplayString : String(k.label);
                           })
                   .method(sel::setOverrideDisplayString,
                           [&process](const Id& self, Sel, String value) {
                             KeyIvars& k = ivars<KeyIvars>(self);
                             k.overrideDisplayString = value;
                             if (process.device().trace().wanted()) {
                               process.trace("label-override", {{"key", k.name}, {"text", value.value_or("(nil)")}});
                             }
                           })
                   .registerClass();
  const auto addKey = [&ui, key](std::string name, std::string label, double x, double y) {
    Id object = objc::class_createInstance(key);
    ivars<KeyIvars>(object) = KeyIvars{std::move(name), std::move(label), x, y, std::nullopt};
    ui.keys.push_back(std::move(object));
  };
  // One row of letters and, below, the globe key and the space bar.
  const std::string letters = "qwertyuiop";
  for (std::size_t i = 0; i < letters.size(); ++i) {
    const std::string letter(1, letters[i]);
    addKey(letter, letter, 30.0 * static_cast<double>(i), 0);
  }
  addKey(std::string(kGlobeKeyName), "globe", 0, 40);
  addKey("Space-Key", "space", 30, 40);
}

// A touch, and the layouts: the generic layout class has the touch methods (a touch-up hit-tests
// and then types or steps the keyboard), the one the keyboard uses inherits them and hit-tests its
// own keys.
void addLayoutClasses(Process& process, Ui& ui) {
  ClassDefinition(process, nsObject(process), "UITouch")
      .ivars<TouchIvars>()
      .method(sel::view, [](const Id& self, Sel) { return ivars<TouchIvars>(self).view; })
      .method(sel::locationInView, [](const Id& self, Sel, Id) { return ivars<TouchIvars>(self).point; })
      .registerClass();

  ClassDefinition layout(process, nsObject(process), "UIKeyboardLayout");
  layout.method(sel::keyHitTest, [](const Id&, Sel, Point) -> Id { return nullptr; });
  layout.method(sel::touchUp, [&process, &ui](const Id& self, Sel, Id t) {
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
  ClassDefinition(process, layout.registerClass(), "UIKeyboardLayoutStar")
      .method(sel::keyHitTest,
              [&ui](const Id&, Sel, Point p) -> Id {
                for (const Id& k : ui.keys) {
                  if (ivars<KeyIvars>(k).contains(p)) return k;
                }
                return nullptr;
              })
      .registerClass();
  ui.layout = make(process, "UIKeyboardLayoutStar");
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
  ClassDefinition(process, nsObject(process), "UIAlertView")
      .ivars<AlertIvars>()
      .method(sel::initAlert,
              [](const Id& self, Sel, String title, String message, Id, String cancel, Id) {
                AlertIvars& a = ivars<AlertIvars>(self);
                a.title = std::move(title);
                a.message = std::move(message);
                a.button = std::move(cancel);
                return self;
              })
      .method(sel::show,
              [&process](const Id& self, Sel) {
                const AlertIvars& a = ivars<AlertIvars>(self);
                process.addAlert(Alert{a.title.value_or(""), a.message.value_or(""), a.button.value_or("")});
              })
      .registerClass();

  ClassDefinition local(process, nsObject(process), "NSNotificationCenter");
  local.classMethod(sel::defaultCenter, [&ui](const Id&, Sel) { return ui.localCenter; });
  local.method(sel::addObserverForName, [&process](const Id&, Sel, std::string name, platform::NotificationHandler h) {
    process.addLocalObserver(std::move(name), std::move(h));
  });
  local.method(sel::postNotification, [&process](const Id&, Sel, std::string name, Id, std::optional<Dictionary>) {
    process.postLocal(name);
  });
  // The distributed center is a notification center of its own kind: it overrides every message.
  ClassDefinition(process, local.registerClass(), "NSDistributedNotificationCenter")
      .classMethod(sel::defaultCenter, [&ui](const Id&, Sel) { return ui.distributedCenter; })
      .method(sel::addObserverForName,
              [&process](const Id&, Sel, std::string name, platform::NotificationHandler h) {
                process.addDistributedObserver(std::move(name), std::move(h));
              })
      .method(sel::postNotification,
              [&process](const Id&, Sel, std::string name, Id, std::optional<Dictionary> userInfo) {
                process.device().postDistributed(process,
                                                 platform::Notification{std::move(name), std::move(userInfo)});
              })
      .registerClass();
  ui.localCenter = make(process, "NSNotificationCenter");
  ui.distributedCenter = make(process, "NSDistributedNotificationCenter");

  if (process.isSpringBoard()) {
    ClassDefinition(process, nsObject(process), "SBLockScreenViewController")
        .method(sel::finishUIUnlockFromSource,
                [&process](const Id&, Sel, int source) {
                  process.trace("unlocked", {{"source", std::to_string(source)}});
                })
        .registerClass();
    ui.lockScreen = make(process, "SBLockScreenViewController");
  }
}

}  // namespace

void buildUi(Process& process, Ui& ui) {
  buildKeyboardClasses(process, ui);
  buildAppClasses(process, ui);
}

std::optional<Point> keyCenter(const Ui& ui, std::string_view name) {
  for (const Id& key : ui.keys) {
    const KeyIvars& k = ivars<KeyIvars>(key);
    if (k.name == name) return Point{k.x + KeyIvars::kWidth / 2, k.y + KeyIvars::kHeight / 2};
  }
  return std::nullopt;
}

void rebuildKeys(Ui& ui) {
  for (Id& key : ui.keys) {
    Id fresh = objc::class_createInstance(objc::object_getClass(*key));
    const KeyIvars& old = ivars<KeyIvars>(key);
    ivars<KeyIvars>(fresh) = KeyIvars{old.name, old.label, old.x, old.y, std::nullopt};
    key = std::move(fresh);
  }
}

Id keyNamed(const Ui& ui, std::string_view name) {
  for (const Id& k : ui.keys) {
    if (objc::send(k, sel::name) == String(std::string(name))) return k;
  }
  return nullptr;
}

Id makeExecutionContext(Process& process, Ui& ui) {
  Id context = make(process, "UIKeyboardTaskExecutionContext");
  ivars<ExecutionContextIvars>(context).number = ++ui.contextsCreated;
  ui.openContexts.push_back(context);
  return context;
}

void reportUnfinishedContexts(Process& process, Ui& ui) {
  for (const Id& context : ui.openContexts) {
    const ExecutionContextIvars& c = ivars<ExecutionContextIvars>(context);
    if (!c.finished) process.trace("context-unfinished", {{"context", std::to_string(c.number)}});
  }
  ui.openContexts.clear();
}

Id makeTouch(Process& process, const Ui& ui, Point point) {
  Id touch = make(process, "UITouch");
  ivars<TouchIvars>(touch) = TouchIvars{ui.layout, point};
  return touch;
}

}  // namespace orvane::sim
