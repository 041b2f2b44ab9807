#include "sim/device/process.h"

#include <dlfcn.h>
#include <sys/wait.h>

#include <algorithm>

#include "sim/device/device.h"
#include "sim/standins/activator.h"
#include "sim/standins/ui.h"

namespace orvane::sim {

namespace sel = platform::sel;

namespace {
std::string traceName(std::string_view bundleIdentifier) {
  return bundleIdentifier == kSpringBoard ? "SpringBoard" : std::string(bundleIdentifier);
}
}  // namespace

LocalProcess::LocalProcess(Device& device, std::string bundleIdentifier, int applicationMainStatus)
    : Process(device, std::move(bundleIdentifier)),
      version_(device.version()),
      stepForms_(device.keyboardStepForms().value_or(keyboardStepFormsOf(version_))),
      runtime_(makeProcessRuntime()),
      applicationMainStatus_(applicationMainStatus),
      ui_(std::make_unique<Ui>()) {}

LocalProcess::~LocalProcess() {
  // The libraries' own objects go first, while the classes they were made of still exist.
  libraries_.clear();
  mainQueue_.clear();
}

Process::Process(Device& device, std::string bundleIdentifier)
    : device_(device), bundleIdentifier_(std::move(bundleIdentifier)), name_(traceName(bundleIdentifier_)) {}

bool Process::isSpringBoard() const { return bundleIdentifier_ == kSpringBoard; }

void Process::trace(std::string kind, Trace::Fields fields) {
  device_.trace().add(name_, std::move(kind), std::move(fields));
}

void Process::postDarwin(const std::string& name) {
  trace("darwin-post", {{"name", name}});
  device_.postDarwin(name, this);
}

void LocalProcess::boot() {
  buildUi(*this, *ui_);
  buildResourceClasses(*this);
  // The keyboard starts on the last used keyboard when that is active, else on the first one.
  const auto& modes = device_.activeInputModes();
  const auto lastUsed = device_.preferenceValue(platform::names::kKeyboardLastUsedKey, kKeyboardPreferencesDomain);
  for (const InputMode& mode : modes) {
    if (lastUsed && lastUsed->string() && mode.identifier == *lastUsed->string())
      ui_->currentInputMode = mode.identifier;
  }
  if (!ui_->currentInputMode && !modes.empty()) ui_->currentInputMode = modes.front().identifier;
  trace("start", {{"inputMode", ui_->currentInputMode.value_or("(none)")}});

  using MainFunction = std::function<platform::symbol::UIApplicationMainSignature>;
  runtime_->defineFunction(platform::symbol::UIApplicationMain.name,
                           typeid(platform::symbol::UIApplicationMainSignature),
                           std::make_shared<MainFunction>([this](int, char**, platform::String, platform::String) {
                             trace("application-main");
                             return applicationMainStatus_;
                           }));

  // The loader: each library's classes, then its initialiser. A library whose file is gone, or
  // holds what is not a library, is not mapped; the trace says so in the same words on every
  // runtime, and names no place on the host.
  for (const auto& library : device_.libraries()) {
    if (!device_.files().exists(library.path)) {
      trace("library-load-failed", {{"path", library.path}, {"error", "no such file"}});
    } else if (!library.factory) {
      mapSharedObject(library.path);
    } else if (device_.files().read(library.path, Device::kSimulatedLibrary.size()) != Device::kSimulatedLibrary) {
      trace("library-load-failed", {{"path", library.path}, {"error", "not a library"}});
    } else {
      mapLibrary(library.path, library.factory);
    }
  }

  std::string argument = bundleIdentifier_;
  char* argv[] = {argument.data(), nullptr};
  const auto* main = static_cast<const MainFunction*>(runtime_->function(
      platform::symbol::UIApplicationMain.name, typeid(platform::symbol::UIApplicationMainSignature)));
  const int status = (*main)(1, argv, std::nullopt, std::nullopt);
  trace("main-returned", {{"status", std::to_string(status)}});
}

void LocalProcess::mapLibrary(const std::string& path, const platform::LibraryFactory& factory) {
  libraries_.push_back(factory(platform()));
  trace("library-load", {{"path", path}});
  libraries_.back()->loadClasses();
  libraries_.back()->libraryDidLoad();
}

namespace {
// The process whose loader is mapping a shared object, and the object's device path: the system's
// dlopen runs the object's constructor, which reaches the loader through platform::libraryMapped.
LocalProcess* mappingProcess = nullptr;
const std::string* mappingPath = nullptr;
}  // namespace

void LocalProcess::mapSharedObject(const std::string& path) {
  const auto file = device_.files().hostPath(path);
  mappingProcess = this;
  mappingPath = &path;
  void* handle = file ? ::dlopen(file->c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
  mappingProcess = nullptr;
  mappingPath = nullptr;
  // What the system's loader says names the host's folder, which differs from run to run.
  if (handle == nullptr) trace("library-load-failed", {{"path", path}, {"error", "not a library"}});
}

void LocalProcess::enqueue(std::function<void()> task, std::string_view source) {
  const std::uint64_t number = ++tasksQueued_;
  trace("main-queue-async", {{"task", std::to_string(number)}, {"source", std::string(source)}});
  mainQueue_.push_back(Task{number, std::move(task)});
}

bool LocalProcess::runOneTask() {
  if (suspended_ || mainQueue_.empty()) return false;
  Task task = std::move(mainQueue_.front());
  mainQueue_.pop_front();
  trace("main-queue-run", {{"task", std::to_string(task.number)}});
  task.run();
  return true;
}

std::string LocalProcess::objectName(const objc::Id& object) {
  if (!object) return "nil";
  auto& entry = objectNames_[object.get()];
  if (entry.first.expired() || entry.second.empty()) {
    const std::string cls(objc::class_getName(objc::object_getClass(*object)));
    entry = {object, cls + "#" + std::to_string(++objectsNamed_[cls])};
  }
  return entry.second;
}

// ---- notifications ----

bool LocalProcess::observesDarwin(std::string_view name) const {
  return std::any_of(darwinObservers_.begin(), darwinObservers_.end(), [&](const auto& o) { return o.first == name; });
}

void LocalProcess::queueDarwinDelivery(const std::string& name) {
  if (suspended_) return hold(true, platform::Notification{name, std::nullopt});
  enqueue(
      [this, name] {
        trace("darwin-deliver", {{"name", name}});
        // Copied: a callback may add observers.
        const auto observers = darwinObservers_;
        for (const auto& [observed, callback] : observers) {
          if (observed == name) callback(name);
        }
      },
      "darwin");
}

bool LocalProcess::observesDistributed(std::string_view name) const {
  return std::any_of(distributedObservers_.begin(), distributedObservers_.end(),
                     [&](const auto& o) { return o.first == name; });
}

void LocalProcess::queueDistributedDelivery(const platform::Notification& notification) {
  if (suspended_) return hold(false, notification);
  enqueue(
      [this, notification] {
        trace("distributed-deliver", {{"name", notification.name}});
        const auto observers = distributedObservers_;
        for (const auto& [observed, handler] : observers) {
          if (observed == notification.name) handler(notification);
        }
      },
      "distributed");
}

// Darwin posts to a suspended process coalesce, one delivery per name (notify(3): posts may be
// coalesced); distributed ones as CFNotificationSuspensionBehaviorCoalesce says: only the last of a
// name is kept, with its user info.
void LocalProcess::hold(bool darwin, const platform::Notification& notification) {
  std::erase_if(held_, [&](const Held& h) { return h.darwin == darwin && h.notification.name == notification.name; });
  held_.push_back(Held{darwin, notification});
  trace("notification-held", {{"center", darwin ? "darwin" : "distributed"}, {"name", notification.name}});
}

bool LocalProcess::suspend() {
  if (isSpringBoard() || suspended_) return false;
  if (ui_->keyboardShown) hideKeyboard();
  suspended_ = true;
  trace("suspend");
  return true;
}

bool LocalProcess::resume() {
  if (!suspended_) return false;
  suspended_ = false;
  trace("resume");
  std::vector<Held> held = std::move(held_);
  held_.clear();
  for (const Held& h : held) {
    if (h.darwin) {
      queueDarwinDelivery(h.notification.name);
    } else {
      queueDistributedDelivery(h.notification);
    }
  }
  return true;
}

void LocalProcess::addLocalObserver(std::string name, platform::NotificationHandler handler) {
  localObservers_.emplace_back(std::move(name), std::move(handler));
}

void LocalProcess::addDistributedObserver(std::string name, platform::NotificationHandler handler) {
  trace("distributed-observe", {{"name", name}});
  device_.observing(false, name);
  distributedObservers_.emplace_back(std::move(name), std::move(handler));
}

void LocalProcess::postLocal(const std::string& name) { deliverLocal(platform::Notification{name, std::nullopt}); }

void LocalProcess::deliverLocal(const platform::Notification& notification) {
  trace("local-notification", {{"name", notification.name}});
  const auto observers = localObservers_;
  for (const auto& [observed, handler] : observers) {
    if (observed == notification.name) handler(notification);
  }
}

// ---- the keyboard, as a user drives it ----

void LocalProcess::showKeyboard() {
  ui_->keyboardShown = true;
  postLocal(std::string(platform::names::kUIKeyboardWillShowNotification));
}

void LocalProcess::hideKeyboard() {
  postLocal(std::string(platform::names::kUIKeyboardWillHideNotification));
  ui_->keyboardShown = false;
  ui_->switcherShown = false;
}

bool LocalProcess::tapKey(std::string_view keyName) {
  auto center = keyCenter(*ui_, keyName);
  if (!center) return false;
  trace("tap", {{"key", std::string(keyName)}});
  objc::send(ui_->layout, sel::touchUp, makeTouch(*this, *ui_, *center));
  reportUnfinishedContexts(*this, *ui_);
  return true;
}

void LocalProcess::tapNowhere() {
  trace("tap", {{"key", "(none)"}});
  objc::send(ui_->layout, sel::touchUp, makeTouch(*this, *ui_, platform::Point{-100, -100}));
  reportUnfinishedContexts(*this, *ui_);
}

void LocalProcess::nextKeyboardStep() {
  const bool plain = systemSendsPlainStep(stepForms_, version_);
  platform::sendNextKeyboardStep(ui_->keyboardImpl, plain, plain ? objc::Id{} : makeExecutionContext(*this, *ui_));
  reportUnfinishedContexts(*this, *ui_);
}

platform::StringList LocalProcess::askSwitcherList() {
  platform::StringList list = objc::send(ui_->switcherView, sel::inputModes);
  lastSwitcherList_ = list;
  ui_->switcherShown = true;
  Array values;
  if (list) values.assign(list->begin(), list->end());
  trace("switcher-list", {{"list", list ? FieldValue::of(Value(std::move(values))) : "nil"}});
  return list;
}

bool LocalProcess::chooseFromSwitcher(const std::string& identifier) {
  // Only an entry of the menu on screen can be chosen: the list it was last asked for.
  const bool listed = ui_->switcherShown && lastSwitcherList_ && *lastSwitcherList_ &&
                      std::ranges::find(**lastSwitcherList_, identifier) != (*lastSwitcherList_)->end();
  if (!listed) return false;
  // As the platform's menu does: the keyboard is set to the entry's input mode, and the menu closes.
  trace("switcher-choice", {{"keyboard", identifier}});
  objc::send(ui_->keyboardImpl, sel::setInputMode, platform::String(identifier));
  objc::send(ui_->inputSwitcher, sel::hideSwitcher);
  return true;
}

bool LocalProcess::askLabel(std::string_view keyName) {
  const objc::Id key = keyNamed(*ui_, keyName);
  if (!key) return false;
  platform::String label = objc::send(key, sel::displayString);
  lastLabel_ = label;
  trace("label", {{"key", std::string(keyName)}, {"text", label.value_or("(nil)")}});
  return true;
}

bool LocalProcess::unlock() {
  if (!ui_->lockScreen) return false;
  if (hasLockScreenViewController(version_)) {
    objc::send(ui_->lockScreen, sel::finishUIUnlockFromSource, 1);
  } else {
    objc::send(ui_->lockScreen, kFinishUnlockWithSound, true, 1, false);
  }
  return true;
}

void LocalProcess::addAlert(Alert alert) {
  trace("alert", {{"title", alert.title}, {"message", alert.message}, {"button", alert.button}});
  alerts_.push_back(std::move(alert));
}

bool LocalProcess::dismissAlert() {
  for (auto it = alerts_.rbegin(); it != alerts_.rend(); ++it) {
    if (!it->dismissed) {
      it->dismissed = true;
      trace("alert-dismissed", {{"title", it->title}});
      return true;
    }
  }
  return false;
}

std::optional<std::string> LocalProcess::currentInputMode() const { return ui_->currentInputMode; }
bool LocalProcess::keyboardShown() const { return ui_->keyboardShown; }

// One OS process holds every process: an end is modelled, the process taken out as it is.
bool LocalProcess::end(End how) {
  if (ended_) return true;
  if (how == End::kKillMidWrite) return false;
  ended_ = true;
  trace("exit", {{"status", how == End::kCrash ? "SIGABRT" : "SIGKILL"},
                 {"reason", how == End::kCrash  ? "crashed"
                            : how == End::kHang ? "hung"
                                                : "killed"}});
  return true;
}

bool LocalProcess::fireActivatorEvent(const std::string& name) { return sim::fireActivatorEvent(*this, name); }

std::optional<std::string> LocalProcess::askActivatorListener(const std::string& name, const std::string& what,
                                                              const std::string& argument) {
  return sim::askActivatorListener(*this, name, what, argument);
}

// In an OS process of its own, the process keeps its copy of the device's keyboards and icons.
void LocalProcess::keyboardsChanged(const std::vector<InputMode>& modes) { device_.adoptKeyboards(modes); }

void LocalProcess::iconsChanged(const std::map<std::pair<std::string, int>, IconKind>& icons) {
  device_.adoptIcons(icons);
}

bool LocalProcess::tracing() const { return device_.trace().wanted(); }
const std::vector<InputMode>& LocalProcess::activeInputModes() const { return device_.activeInputModes(); }
std::uint64_t LocalProcess::keyboardsGeneration() const { return device_.keyboardsGeneration(); }
FileStore& LocalProcess::files() { return device_.files(); }
std::optional<IconKind> LocalProcess::appIcon(const std::string& displayIdentifier, int size) const {
  return device_.appIcon(displayIdentifier, size);
}
void LocalProcess::postDistributed(const platform::Notification& notification) {
  device_.postDistributed(*this, notification);
}

// ---- platform::System ----

double LocalProcess::kCFCoreFoundationVersionNumber() { return version_; }

void LocalProcess::NSLog(const std::string& line) {
  trace("log", {{"text", line}});
  log_.push_back(line);
}

// ---- platform::Runtime ----

const void* LocalProcess::dlopen(std::string_view path, int) {
  if (!device_.files().exists(path)) return nullptr;
  if (path == platform::names::kActivatorLibraryPath && objc_getClass("LAActivator") == nullptr) {
    loadActivatorClasses(*this);
    trace("dlopen", {{"path", std::string(path)}});
  }
  return this;
}

platform::HookResult LocalProcess::hookMessage(objc::Class* cls, objc::Sel selector, const std::type_info& signature,
                                               std::shared_ptr<void> replacement) {
  platform::HookResult result = runtime_->hookMessage(cls, selector, signature, std::move(replacement));
  const std::string className(cls ? objc::class_getName(cls) : "nil");
  const bool installed = platform::hookInstalled(result.status);
  if (installed) installedHooks_.push_back(className + " " + std::string(selector));
  trace(installed ? "hook" : "hook-skipped", {{"class", className},
                                              {"selector", std::string(selector)},
                                              {"status", std::string(platform::hookStatusName(result.status))}});
  return result;
}

platform::HookResult LocalProcess::hookFunction(std::string_view symbol, const std::type_info& signature,
                                                std::shared_ptr<void> replacement) {
  platform::HookResult result = runtime_->hookFunction(symbol, signature, std::move(replacement));
  const bool installed = platform::hookInstalled(result.status);
  if (installed) installedHooks_.emplace_back(symbol);
  trace(installed ? "hook" : "hook-skipped",
        {{"function", std::string(symbol)}, {"status", std::string(platform::hookStatusName(result.status))}});
  return result;
}

bool LocalProcess::revertHook(objc::Class* cls, objc::Sel selector) {
  const bool reverted = runtime_->revertHook(cls, selector);
  if (reverted) {
    const std::string target = std::string(objc::class_getName(cls)) + " " + std::string(selector);
    // The latest hook of that method is the one undone.
    auto last = std::find(installedHooks_.rbegin(), installedHooks_.rend(), target);
    if (last != installedHooks_.rend()) installedHooks_.erase(std::next(last).base());
    trace("hook-reverted", {{"class", std::string(objc::class_getName(cls))}, {"selector", std::string(selector)}});
  }
  return reverted;
}

}  // namespace orvane::sim

namespace orvane::platform {

void libraryMapped(const LibraryFactory& factory) {
  if (sim::mappingProcess != nullptr) sim::mappingProcess->mapLibrary(*sim::mappingPath, factory);
}

}  // namespace orvane::platform
