#include "sim/device/process.h"

#include <dlfcn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>

#include "sim/device/device.h"
#include "sim/plist/value_text.h"
#include "sim/standins/activator.h"
#include "sim/standins/locale.h"
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
  device_.postDarwin(name);
}

void LocalProcess::boot() {
  buildUi(*this, *ui_);
  buildResourceClasses(*this);
  // The keyboard starts on the last used keyboard when that is active, else on the first one.
  const auto& modes = device_.activeInputModes();
  const auto lastUsed = device_.preferenceValue("KeyboardLastUsed", kKeyboardPreferencesDomain);
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

  // The loader: each library's classes, then its initialiser.
  for (const auto& library : device_.libraries()) {
    if (library.factory) {
      mapLibrary(library.path, library.factory);
    } else {
      mapSharedObject(library.path);
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
  const auto file = device_.files().resolve(path);
  mappingProcess = this;
  mappingPath = &path;
  void* handle = file ? ::dlopen(file->c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
  mappingProcess = nullptr;
  mappingPath = nullptr;
  if (handle == nullptr) {
    const char* error = ::dlerror();
    trace("library-load-failed", {{"path", path}, {"error", error != nullptr ? error : "not a device path"}});
  }
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
  Array values;
  if (list) values.assign(list->begin(), list->end());
  trace("switcher-list", {{"list", list ? formatValueText(Value(std::move(values))) : "nil"}});
  return list;
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
  objc::send(ui_->lockScreen, sel::finishUIUnlockFromSource, 1);
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

// ---- platform::Preferences ----

// The process's own copy of each domain, as CoreFoundation keeps it (CFApplicationPreferences.c): a
// read answers from a dictionary built at the first read, from the file and this process's own
// writes not yet flushed; this process's synchronize, set or remove drops it. So a value another
// process writes is seen only after this process synchronizes.
const Dictionary& LocalProcess::preferenceView(std::string_view app) {
  auto it = preferenceViews_.find(app);
  if (it == preferenceViews_.end()) {
    Dictionary view = device_.preferenceDomain(app);
    if (auto pending = pendingPreferences_.find(app); pending != pendingPreferences_.end()) {
      for (const auto& [key, value] : pending->second) {
        if (value) {
          view.insert_or_assign(key, *value);
        } else {
          view.erase(key);
        }
      }
    }
    it = preferenceViews_.emplace(std::string(app), std::move(view)).first;
  }
  return it->second;
}

// A key the application's domain does not hold is looked for in the domain every application shares
// (".GlobalPreferences"), as CFPreferencesCopyAppValue searches the preference domains in order.
std::optional<Value> LocalProcess::CFPreferencesCopyAppValue(std::string_view key, std::string_view app) {
  ++preferenceReads_;
  const Dictionary& view = preferenceView(app);
  if (auto it = view.find(key); it != view.end()) return it->second;
  if (app == kGlobalPreferencesDomain) return std::nullopt;
  const Dictionary& global = preferenceView(kGlobalPreferencesDomain);
  auto it = global.find(key);
  return it == global.end() ? std::nullopt : std::optional<Value>(it->second);
}

void LocalProcess::CFPreferencesSetAppValue(std::string_view key, const std::optional<Value>& value,
                                            std::string_view app) {
  // Held by the process until it synchronizes the domain (or ends): the file does not hold it yet.
  if (tracing()) {
    trace("pref-set", {{"domain", std::string(app)},
                       {"key", std::string(key)},
                       {"value", value ? formatValueText(*value) : "(removed)"}});
  }
  auto& pending = pendingPreferences_[std::string(app)];
  std::erase_if(pending, [&](const auto& write) { return write.first == key; });
  pending.emplace_back(std::string(key), value);
  preferenceViews_.erase(std::string(app));
}

bool LocalProcess::flushPreferences(std::string_view app) {
  auto pending = pendingPreferences_.find(app);
  if (pending == pendingPreferences_.end()) return true;
  bool all = true;
  for (const auto& [key, value] : pending->second) all = device_.writePreference(name(), key, value, app) && all;
  pendingPreferences_.erase(pending);
  return all;
}

void LocalProcess::flushAllPreferences() {
  while (!pendingPreferences_.empty()) flushPreferences(std::string(pendingPreferences_.begin()->first));
}

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// CoreFoundation's reading (CFPreferences.c, CFPreferencesGetAppBooleanValue): a boolean; a string
// "true" or "YES", "false" or "NO", ignoring case; an integer as CFNumberGetValue converts it to a C
// int, its low 32 bits, which decide (so 2^32 and -2^63 are a valid false). A real, any other string
// and every other type are not valid.
std::optional<bool> preferenceBoolean(const Value& value) {
  const auto& s = value.storage();
  if (const auto* b = std::get_if<bool>(&s)) return *b;
  if (const auto* i = std::get_if<std::int64_t>(&s)) return static_cast<std::uint32_t>(*i) != 0;
  if (const auto* u = std::get_if<std::uint64_t>(&s)) return static_cast<std::uint32_t>(*u) != 0;
  if (const auto* text = value.string()) {
    if (equalsIgnoringCase(*text, "true") || equalsIgnoringCase(*text, "YES")) return true;
    if (equalsIgnoringCase(*text, "false") || equalsIgnoringCase(*text, "NO")) return false;
  }
  return std::nullopt;
}

}  // namespace

bool LocalProcess::CFPreferencesGetAppBooleanValue(std::string_view key, std::string_view app, bool* valid) {
  const auto value = CFPreferencesCopyAppValue(key, app);
  const auto reading = value ? preferenceBoolean(*value) : std::nullopt;
  if (valid != nullptr) *valid = reading.has_value();
  return reading.value_or(false);
}

bool LocalProcess::CFPreferencesAppSynchronize(std::string_view app) {
  // This process's writes reach the file, and its copy of the domain is dropped: the next read sees
  // what every process has written and synchronized.
  trace("pref-sync", {{"domain", std::string(app)}});
  const bool written = flushPreferences(app);
  preferenceViews_.erase(std::string(app));
  return written;
}

// ---- platform::Files ----

bool LocalProcess::fileExistsAtPath(std::string_view path) { return device_.files().exists(path); }

std::optional<Dictionary> LocalProcess::dictionaryWithContentsOfFile(std::string_view path) {
  // What the file shares stays shared, as CoreFoundation's reader keeps it (CFBinaryPList.c caches
  // every object by its offset): a value written out in full past any bound costs nothing here.
  auto stored = readDictionaryFile(device_.files(), path);
  if (!stored) return std::nullopt;
  return std::move(stored->dictionary);
}

bool LocalProcess::writeToFileAtomically(const Dictionary& dictionary, std::string_view path) {
  // writeToFile:atomically: of a dictionary writes an XML property list, whatever the old file was.
  const auto bytes = serializeFaithfully(Value(dictionary), PlistFormat::kXml);
  const bool ok = bytes && device_.files().writeAtomically(path, *bytes);
  // The event shows what the file holds: XML keeps whole seconds of a date.
  const auto stored = ok ? parsePlist(*bytes) : std::nullopt;
  trace(ok ? "file-write" : "file-write-failed",
        {{"path", std::string(path)},
         {"format", "xml"},
         {"value", formatValueText(stored ? stored->value : Value(dictionary))}});
  return ok;
}

// ---- platform::Notify ----

void LocalProcess::CFNotificationCenterAddObserver(std::string_view name,
                                                   std::function<void(std::string_view)> callback, int) {
  trace("darwin-observe", {{"name", std::string(name)}});
  device_.observing(true, std::string(name));
  darwinObservers_.emplace_back(std::string(name), std::move(callback));
}

void LocalProcess::CFNotificationCenterPostNotification(std::string_view name, bool) { postDarwin(std::string(name)); }

void LocalProcess::notify_post(std::string_view name) {
  trace("notify-post", {{"name", std::string(name)}});
  device_.postDarwin(std::string(name));
}

void LocalProcess::GSSendAppPreferencesChanged(std::string_view app, std::string_view key) {
  trace("gs-prefs-changed", {{"domain", std::string(app)}, {"key", std::string(key)}});
}

}  // namespace orvane::sim

namespace orvane::sim {

std::string LocalProcess::capitalizedString(std::string_view s) { return sim::capitalizedString(s); }

}  // namespace orvane::sim

namespace orvane::platform {

void libraryMapped(const LibraryFactory& factory) {
  if (sim::mappingProcess != nullptr) sim::mappingProcess->mapLibrary(*sim::mappingPath, factory);
}

}  // namespace orvane::platform
