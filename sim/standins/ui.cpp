#include "sim/standins/ui.h"

#include "platform/class_definition.h"
#include "sim/standins/host.h"
#include "sim/standins/locale.h"

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

// A new object of the class `name`, with its instance variables.
Id make(Host& host, std::string_view name) { return objc::class_createInstance(host.runtime().objc_getClass(name)); }

template <class T>
T& ivars(const Id& self) {
  return *objc::ivarsOf<T>(self);
}

// The system's own step: the next active input mode after the current one, wrapping.
void systemNextStep(Host& host, Ui& ui, const Id& keyboard) {
  const auto& modes = host.activeInputModes();
  if (modes.empty()) {
    host.trace("input-mode-unchanged",
               {{"by", "next-step"}, {"reason", "no active input modes"}, {"keyboard", host.objectName(keyboard)}});
    return;
  }
  std::size_t next = 0;
  const auto& current = ui.currentInputMode;
  for (std::size_t i = 0; i < modes.size(); ++i) {
    if (current && modes[i].identifier == current) {
      next = (i + 1) % modes.size();
      break;
    }
  }
  setInputModeFromKeyboard(host, ui, keyboard, modes[next].identifier, "next-step");
}

// UITextInputMode: the active input modes as one immutable array, rebuilt when the device's
// keyboards change, the current one, and their values.
void addInputModeClass(Host& host, Ui& ui) {
  ClassDefinition inputMode(host.runtime(), nsObject(host), "UITextInputMode");
  inputMode.ivars<InputModeIvars>();
  const auto modeObject = [cls = inputMode.cls()](InputMode mode) {
    Id object = objc::class_createInstance(cls);
    ivars<InputModeIvars>(object).mode = std::move(mode);
    return object;
  };
  const auto activeModes = [&ui, &host, modeObject]() -> const platform::ObjectList& {
    if (ui.activeModesGeneration != host.keyboardsGeneration()) {
      auto list = std::make_shared<std::vector<Id>>();
      for (const InputMode& mode : host.activeInputModes()) list->push_back(modeObject(mode));
      ui.activeModes = std::move(list);
      ui.activeModesGeneration = host.keyboardsGeneration();
    }
    return ui.activeModes;
  };
  inputMode.classMethod(sel::activeInputModes, [activeModes](const Id&, Sel) { return activeModes(); });
  inputMode.classMethod(sel::currentInputMode, [&host, &ui, activeModes, modeObject](const Id&, Sel) -> Id {
    if (!ui.currentInputMode) return nullptr;
    // The object answered last, while the array it came from stands and it is still the current
    // mode's: the same object again, as the platform answers, without walking the array.
    const auto* last = objc::ivarsOf<InputModeIvars>(ui.currentModeObject);
    if (last != nullptr && ui.currentModeGeneration == host.keyboardsGeneration() &&
        last->mode.identifier == ui.currentInputMode)
      return ui.currentModeObject;
    for (const Id& mode : *activeModes()) {
      if (ivars<InputModeIvars>(mode).mode.identifier == ui.currentInputMode) {
        ui.currentModeObject = mode;
        ui.currentModeGeneration = host.keyboardsGeneration();
        return mode;
      }
    }
    // A current mode that is no longer active keeps an object of its own.
    const auto* inactive = objc::ivarsOf<InputModeIvars>(ui.inactiveCurrentMode);
    if (inactive == nullptr || inactive->mode.identifier != ui.currentInputMode) {
      ui.inactiveCurrentMode = modeObject(InputMode{ui.currentInputMode, keyboardDisplayName(*ui.currentInputMode)});
    }
    return ui.inactiveCurrentMode;
  });
  inputMode.method(sel::valueForKey, [](const Id& self, Sel, std::string key) -> String {
    // The key as a view: a comparison of lengths, then of the characters, with nothing counted.
    const std::string_view asked = key;
    const auto& mode = ivars<InputModeIvars>(self).mode;
    if (asked == "identifier") return mode.identifier;
    if (asked == "displayName") return mode.displayName;
    return std::nullopt;
  });
  inputMode.registerClass();
}

// A keyboard task's execution context and its queue, which is told to finish it.
void addExecutionContextClasses(Host& host) {
  ClassDefinition queueClass(host.runtime(), nsObject(host), "UIKeyboardTaskQueue");
  queueClass.ivars<ExecutionQueueIvars>().method(sel::finishExecution, [&host](const Id& self, Sel) {
    auto& context = ivars<ExecutionContextIvars>(ivars<ExecutionQueueIvars>(self).context);
    if (context.finished) {
      host.trace("context-finished-again", {{"context", std::to_string(context.number)}});
      return;
    }
    context.finished = true;
    host.trace("context-finished", {{"context", std::to_string(context.number)}});
  });
  ClassDefinition(host.runtime(), nsObject(host), "UIKeyboardTaskExecutionContext")
      .ivars<ExecutionContextIvars>()
      .method(sel::executionQueue,
              [cls = queueClass.registerClass()](const Id& self, Sel) {
                Id queue = objc::class_createInstance(cls);
                ivars<ExecutionQueueIvars>(queue).context = self;
                return queue;
              })
      .registerClass();
}

// UIKeyboardImpl, one object per host, and its auto-correction controller.
void addKeyboardImplClass(Host& host, Ui& ui) {
  ClassDefinition(host.runtime(), nsObject(host), "UIKeyboardAutocorrectionController")
      .method(sel::setRequestedAutocorrection,
              [&host](const Id&, Sel, bool on) {
                host.trace("autocorrection-requested", {{"value", FieldValue::of(Value(on))}});
              })
      .registerClass();
  ui.autocorrectionController = make(host, "UIKeyboardAutocorrectionController");

  ClassDefinition keyboardImpl(host.runtime(), nsObject(host), "UIKeyboardImpl");
  keyboardImpl.classMethod(sel::sharedInstance, [&ui](const Id&, Sel) { return ui.keyboardImpl; });
  keyboardImpl.classMethod(sel::activeInstance,
                           [&ui](const Id&, Sel) { return ui.keyboardShown ? ui.keyboardImpl : Id{}; });
  keyboardImpl.method(sel::setInputMode, [&host, &ui](const Id& self, Sel, String identifier) {
    setInputModeFromKeyboard(host, ui, self, identifier, "setInputMode:");
  });
  keyboardImpl.method(sel::autocorrectionController, [&ui](const Id&, Sel) { return ui.autocorrectionController; });
  // Which forms of the step the keyboard has depends on the system version (or the scenario).
  const KeyboardStepForms forms = host.keyboardStepForms();
  if (forms.plain) {
    keyboardImpl.method(sel::setInputModeToNextInPreferredList,
                        [&host, &ui](const Id& self, Sel) { systemNextStep(host, ui, self); });
  }
  if (forms.withContext) {
    keyboardImpl.method(sel::setInputModeToNextInPreferredListWithExecutionContext,
                        [&host, &ui](const Id& self, Sel, Id context) {
                          systemNextStep(host, ui, self);
                          objc::send(objc::send(context, sel::executionQueue), sel::finishExecution);
                        });
  }
  keyboardImpl.registerClass();
  ui.keyboardImpl = make(host, "UIKeyboardImpl");
}

// The switcher menu (UIInputSwitcherView) and the switcher that closes it.
void addSwitcherClasses(Host& host, Ui& ui) {
  ClassDefinition(host.runtime(), nsObject(host), "UIInputSwitcherView")
      .classMethod(sel::sharedInstance, [&ui](const Id&, Sel) { return ui.switcherView; })
      .classMethod(sel::activeInstance, [&ui](const Id&, Sel) { return ui.switcherView; })
      .method(sel::inputModes,
              [&host, &ui](const Id&, Sel) -> platform::StringList {
                ++ui.systemSwitcherLists;
                std::vector<std::string> out;
                for (const InputMode& mode : host.activeInputModes()) {
                  if (mode.identifier) out.push_back(*mode.identifier);
                }
                return out;
              })
      .registerClass();
  ui.switcherView = make(host, "UIInputSwitcherView");

  ClassDefinition(host.runtime(), nsObject(host), "UIInputSwitcher")
      .classMethod(sel::sharedInstance, [&ui](const Id&, Sel) { return ui.inputSwitcher; })
      .method(sel::hideSwitcher,
              [&host, &ui](const Id&, Sel) {
                ui.switcherShown = false;
                host.trace("switcher-hidden");
              })
      .registerClass();
  ui.inputSwitcher = make(host, "UIInputSwitcher");
}

}  // namespace

const std::vector<std::string>& keyboardKeyNames() {
  static const std::vector<std::string> kNames = {
      "q", "w", "e", "r", "t", "y", "u", "i", "o", "p", std::string(platform::names::kGlobeKeyName), "Space-Key"};
  return kNames;
}

namespace {

// The keys (UIKBTree) of one row of letters and, below, the globe key and the space bar.
void addKeyClass(Host& host, Ui& ui) {
  Class* key = ClassDefinition(host.runtime(), nsObject(host), "UIKBTree")
                   .ivars<KeyIvars>()
                   .method(sel::name, [](const Id& self, Sel) -> String { return ivars<KeyIvars>(self).name; })
                   .method(sel::displayString,
                           [](const Id& self, Sel) -> String {
                             const KeyIvars& k = ivars<KeyIvars>(self);
                             return k.overrideDisplayString ? k.overrideDisplayString : String(k.label);
                           })
                   .method(sel::setOverrideDisplayString,
                           [&host](const Id& self, Sel, String value) {
                             KeyIvars& k = ivars<KeyIvars>(self);
                             k.overrideDisplayString = value;
                             if (host.tracing()) {
                               host.trace("label-override", {{"key", k.name}, {"text", value.value_or("(nil)")}});
                             }
                           })
                   .registerClass();
  const auto addKey = [&ui, key](std::string name, std::string label, double x, double y) {
    Id object = objc::class_createInstance(key);
    ivars<KeyIvars>(object) = KeyIvars{std::move(name), std::move(label), x, y, std::nullopt};
    ui.keys.push_back(std::move(object));
  };
  // One row of letters and, below, the globe key and the space bar.
  const std::vector<std::string>& names = keyboardKeyNames();
  constexpr std::size_t kLetters = 10;
  for (std::size_t i = 0; i < kLetters; ++i) addKey(names[i], names[i], 30.0 * static_cast<double>(i), 0);
  addKey(names[kLetters], "globe", 0, 40);
  addKey(names[kLetters + 1], "space", 30, 40);
}

// A touch, and the layouts: the generic layout class has the touch methods (a touch-up hit-tests
// and then types or steps the keyboard), the one the keyboard uses inherits them and hit-tests its
// own keys.
void addLayoutClasses(Host& host, Ui& ui) {
  ClassDefinition(host.runtime(), nsObject(host), "UITouch")
      .ivars<TouchIvars>()
      .method(sel::view, [](const Id& self, Sel) { return ivars<TouchIvars>(self).view; })
      .method(sel::locationInView, [](const Id& self, Sel, Id) { return ivars<TouchIvars>(self).point; })
      .registerClass();

  ClassDefinition layout(host.runtime(), nsObject(host), "UIKeyboardLayout");
  layout.method(sel::keyHitTest, [](const Id&, Sel, Point) -> Id { return nullptr; });
  layout.method(sel::touchUp, [&host, &ui](const Id& self, Sel, Id t) {
    const Point p = objc::send(t, sel::locationInView, objc::send(t, sel::view));
    const Id hit = objc::send(self, sel::keyHitTest, p);
    const String name = objc::send(hit, sel::name);
    if (!name) {
      host.trace("touch-up", {{"key", "(none)"}});
      return;
    }
    if (*name != platform::names::kGlobeKeyName) {
      host.trace("typed", {{"key", *name}});
      return;
    }
    // The globe key: the keyboard steps to its next input mode, with a context of its own where the
    // step takes one.
    const bool plain = systemSendsPlainStep(host.keyboardStepForms(), host.systemVersion());
    platform::sendNextKeyboardStep(ui.keyboardImpl, plain, plain ? Id{} : makeExecutionContext(host, ui));
  });
  ClassDefinition(host.runtime(), layout.registerClass(), "UIKeyboardLayoutStar")
      .method(sel::keyHitTest,
              [&ui](const Id&, Sel, Point p) -> Id {
                for (const Id& k : ui.keys) {
                  if (ivars<KeyIvars>(k).contains(p)) return k;
                }
                return nullptr;
              })
      .registerClass();
  ui.layout = make(host, "UIKeyboardLayoutStar");
}

void buildKeyboardClasses(Host& host, Ui& ui) {
  addInputModeClass(host, ui);
  addExecutionContextClasses(host);
  addKeyboardImplClass(host, ui);
  addSwitcherClasses(host, ui);
  addKeyClass(host, ui);
  addLayoutClasses(host, ui);
}

void buildAppClasses(Host& host, Ui& ui) {
  ClassDefinition(host.runtime(), nsObject(host), "UIAlertView")
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
              [&host](const Id& self, Sel) {
                const AlertIvars& a = ivars<AlertIvars>(self);
                host.addAlert(Alert{a.title.value_or(""), a.message.value_or(""), a.button.value_or("")});
              })
      .registerClass();

  ClassDefinition local(host.runtime(), nsObject(host), "NSNotificationCenter");
  local.classMethod(sel::defaultCenter, [&ui](const Id&, Sel) { return ui.localCenter; });
  local.method(sel::addObserverForName, [&host](const Id&, Sel, std::string name, platform::NotificationHandler h) {
    host.addLocalObserver(std::move(name), std::move(h));
  });
  local.method(sel::postNotification,
               [&host](const Id&, Sel, std::string name, Id, std::optional<Dictionary>) { host.postLocal(name); });
  // The distributed center is a notification center of its own kind: it overrides every message.
  ClassDefinition(host.runtime(), local.registerClass(), "NSDistributedNotificationCenter")
      .classMethod(sel::defaultCenter, [&ui](const Id&, Sel) { return ui.distributedCenter; })
      .method(sel::addObserverForName,
              [&host](const Id&, Sel, std::string name, platform::NotificationHandler h) {
                host.addDistributedObserver(std::move(name), std::move(h));
              })
      .method(sel::postNotification,
              [&host](const Id&, Sel, std::string name, Id, std::optional<Dictionary> userInfo) {
                host.postDistributed(platform::Notification{std::move(name), std::move(userInfo)});
              })
      .registerClass();
  ui.localCenter = make(host, "NSNotificationCenter");
  ui.distributedCenter = make(host, "NSDistributedNotificationCenter");

  if (host.isSpringBoard()) addLockScreenClass(host, ui);
}

}  // namespace

void buildUi(Host& host, Ui& ui) {
  buildKeyboardClasses(host, ui);
  buildAppClasses(host, ui);
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

Id makeExecutionContext(Host& host, Ui& ui) {
  Id context = make(host, "UIKeyboardTaskExecutionContext");
  ivars<ExecutionContextIvars>(context).number = ++ui.contextsCreated;
  ui.openContexts.push_back(context);
  return context;
}

void reportUnfinishedContexts(Host& host, Ui& ui) {
  for (const Id& context : ui.openContexts) {
    const ExecutionContextIvars& c = ivars<ExecutionContextIvars>(context);
    if (!c.finished) host.trace("context-unfinished", {{"context", std::to_string(c.number)}});
  }
  ui.openContexts.clear();
}

void setInputModeFromKeyboard(Host& host, Ui& ui, const Id& keyboard, const String& value, std::string_view how) {
  // An active identifier exactly, else the first active mode whose part before "@" is the value.
  const auto& modes = host.activeInputModes();
  const InputMode* chosen = nullptr;
  if (value) {
    for (const InputMode& mode : modes) {
      if (mode.identifier == value) {
        chosen = &mode;
        break;
      }
    }
    for (const InputMode& mode : modes) {
      if (chosen != nullptr) break;
      if (mode.identifier && identifierPrefix(*mode.identifier) == *value) chosen = &mode;
    }
  }
  if (chosen == nullptr || !chosen->identifier) {
    host.trace("input-mode-unchanged", {{"by", std::string(how)},
                                        {"value", FieldValue::of(Value(value.value_or("(nil)")))},
                                        {"keyboard", host.objectName(keyboard)}});
    return;
  }
  if (ui.currentInputMode != chosen->identifier) rebuildKeys(ui);
  ui.currentInputMode = chosen->identifier;
  host.trace("input-mode",
             {{"identifier", *chosen->identifier}, {"by", std::string(how)}, {"keyboard", host.objectName(keyboard)}});
}

Id makeTouch(Host& host, const Ui& ui, Point point) {
  Id touch = make(host, "UITouch");
  ivars<TouchIvars>(touch) = TouchIvars{ui.layout, point};
  return touch;
}

}  // namespace orvane::sim
