// What a process of the platform offers the extension, grouped by service. The simulated device
// implements these; the extension sees nothing else of it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <typeindex>

#include "platform/runtime.h"
#include "platform/value.h"

namespace orvane::platform {

// The process itself: version, identity, log and main queue.
class System {
 public:
  virtual ~System() = default;
  virtual double kCFCoreFoundationVersionNumber() = 0;
  // [[NSBundle mainBundle] bundleIdentifier]
  virtual std::optional<std::string> mainBundleIdentifier() = 0;
  // NSLog of a line already formatted (see nslog.h).
  virtual void NSLog(const std::string& line) = 0;
  // dispatch_async(dispatch_get_main_queue(), task)
  virtual void dispatchAsyncMain(std::function<void()> task) = 0;
};

// Class lookup, loading and the hooking service.
class Runtime {
 public:
  virtual ~Runtime() = default;
  // objc_getClass / NSClassFromString: the class, or nullptr when the process has none of that name.
  virtual objc::Class* objc_getClass(std::string_view name) = 0;
  // dlopen(path, mode): loads the library when it exists; the handle is not for the caller to use.
  virtual const void* dlopen(std::string_view path, int mode) = 0;
  // Adds a class of the loading library to the process (its class-load step).
  virtual objc::Class* registerClass(std::unique_ptr<objc::Class> cls) = 0;
  // The type-erased hooking calls behind MSHookMessageEx and MSHookFunction below: they return the
  // implementation replaced, or nothing when the class, method or function does not exist (then
  // nothing has changed).
  virtual std::shared_ptr<void> hookMessage(objc::Class* cls, std::string_view selector, std::type_index signature,
                                            std::shared_ptr<void> replacement) = 0;
  virtual std::shared_ptr<void> hookFunction(std::string_view symbol, std::type_index signature,
                                             std::shared_ptr<void> replacement) = 0;
};

// CFPreferences, per application domain.
class Preferences {
 public:
  virtual ~Preferences() = default;
  virtual std::optional<Value> CFPreferencesCopyAppValue(std::string_view key, std::string_view app) = 0;
  // An empty value removes the key.
  virtual void CFPreferencesSetAppValue(std::string_view key, const std::optional<Value>& value,
                                        std::string_view app) = 0;
  virtual bool CFPreferencesGetAppBooleanValue(std::string_view key, std::string_view app,
                                               bool* keyExistsAndHasValidFormat) = 0;
  virtual bool CFPreferencesAppSynchronize(std::string_view app) = 0;
};

// Property-list files, as Foundation reads and writes them.
class Files {
 public:
  virtual ~Files() = default;
  // [[NSFileManager defaultManager] fileExistsAtPath:]
  virtual bool fileExistsAtPath(std::string_view path) = 0;
  // [NSDictionary dictionaryWithContentsOfFile:]: nothing when the file is missing, unreadable or
  // does not hold a dictionary at its top level.
  virtual std::optional<Dictionary> dictionaryWithContentsOfFile(std::string_view path) = 0;
  // [dictionary writeToFile:path atomically:YES]: the whole file is replaced or left as it was.
  virtual bool writeToFileAtomically(const Dictionary& dictionary, std::string_view path) = 0;
};

// The Darwin notify center and the two calls that share its bus.
class Notify {
 public:
  virtual ~Notify() = default;
  static constexpr int kCFNotificationSuspensionBehaviorCoalesce = 2;
  // CFNotificationCenterAddObserver on the Darwin notify center; the callback receives the name.
  virtual void CFNotificationCenterAddObserver(std::string_view name,
                                               std::function<void(std::string_view name)> callback,
                                               int suspensionBehavior) = 0;
  // CFNotificationCenterPostNotification on the Darwin notify center, no object, no user info.
  virtual void CFNotificationCenterPostNotification(std::string_view name, bool deliverImmediately) = 0;
  virtual void notify_post(std::string_view name) = 0;
  virtual void GSSendAppPreferencesChanged(std::string_view app, std::string_view key) = 0;
};

// String services of Foundation that the locale service backs.
class Strings {
 public:
  virtual ~Strings() = default;
  // [string capitalizedString]: the first letter of every word upper case, the rest lower case.
  virtual std::string capitalizedString(std::string_view s) = 0;
};

// Everything one process offers a library loaded into it.
struct Platform {
  System& system;
  Runtime& runtime;
  Preferences& preferences;
  Files& files;
  Notify& notify;
  Strings& strings;
};

// MSHookMessageEx(cls, sel, replacement, &saved): from now on `sel` sent to instances of `cls`
// enters `replacement`; `saved` receives the implementation it replaced. An absent class or method
// changes nothing and leaves `saved` empty.
template <class Signature>
void MSHookMessageEx(Runtime& runtime, objc::Class* cls, const objc::Selector<Signature>& sel,
                     typename objc::Selector<Signature>::Imp replacement,
                     typename objc::Selector<Signature>::Imp* saved) {
  using Imp = typename objc::Selector<Signature>::Imp;
  auto previous = runtime.hookMessage(cls, sel.name, typeid(Signature), std::make_shared<Imp>(std::move(replacement)));
  if (previous) *saved = *std::static_pointer_cast<Imp>(previous);
}

// MSHookFunction(symbol, replacement, &saved), likewise for a plain function.
template <class Signature>
void MSHookFunction(Runtime& runtime, const objc::FunctionSymbol<Signature>& symbol,
                    std::function<Signature> replacement, std::function<Signature>* saved) {
  auto previous = runtime.hookFunction(symbol.name, typeid(Signature),
                                       std::make_shared<std::function<Signature>>(std::move(replacement)));
  if (previous) *saved = *std::static_pointer_cast<std::function<Signature>>(previous);
}

// A library as the loader sees it: first its classes are loaded, then its initialiser runs.
class Library {
 public:
  virtual ~Library() = default;
  virtual void loadClasses() = 0;
  virtual void libraryDidLoad() = 0;
};

using LibraryFactory = std::function<std::unique_ptr<Library>(const Platform&)>;

}  // namespace orvane::platform
