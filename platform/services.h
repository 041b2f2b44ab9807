// What a process of the platform offers the extension, grouped by service. The simulated device
// implements these; the extension sees nothing else of it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>

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

// What a hooking call did. Only the first three change anything.
enum class HookStatus {
  kInstalled,               // the class's own method now enters the replacement
  kInstalledOverInherited,  // the class only inherited the method: the replacement is its own now,
                            // and the superclass and its other subclasses keep theirs
  kAlreadyReplaced,         // installed over an earlier replacement of the same method, which it saves
  kNoSuchClass,             // nothing changed
  kNoSuchMethod,            // nothing changed: neither the class nor a superclass has the method
  kNoSuchFunction,          // nothing changed
  kWrongSignature,          // nothing changed: the method has another signature (a programming error)
};
// The status as the trace names it.
inline std::string_view hookStatusName(HookStatus status) {
  switch (status) {
    case HookStatus::kInstalled:
      return "installed";
    case HookStatus::kInstalledOverInherited:
      return "installed-over-inherited";
    case HookStatus::kAlreadyReplaced:
      return "already-replaced";
    case HookStatus::kNoSuchClass:
      return "no-such-class";
    case HookStatus::kNoSuchMethod:
      return "no-such-method";
    case HookStatus::kNoSuchFunction:
      return "no-such-function";
    case HookStatus::kWrongSignature:
      return "wrong-signature";
  }
  return "unknown";
}
inline bool hookInstalled(HookStatus status) {
  return status == HookStatus::kInstalled || status == HookStatus::kInstalledOverInherited ||
         status == HookStatus::kAlreadyReplaced;
}

struct HookResult {
  HookStatus status;
  // The implementation replaced (an `Imp` of the hooked signature): set for kInstalled and
  // kAlreadyReplaced, empty otherwise.
  std::shared_ptr<void> previous;
};

// Class lookup, class definition, loading and the hooking service: the process's runtime.
class Runtime {
 public:
  virtual ~Runtime() = default;
  // objc_getClass / NSClassFromString: the class, or nullptr when the process has none of that name.
  virtual objc::Class* objc_getClass(std::string_view name) = 0;
  // dlopen(path, mode): loads the library when it exists; the handle is not for the caller to use.
  virtual const void* dlopen(std::string_view path, int mode) = 0;

  // Defining a class (see ClassDefinition in class_definition.h, the one way the extension does):
  // objc_allocateClassPair gives nullptr when the process already has a class of that name; the
  // class can be looked up only once registered.
  virtual objc::Class* objc_allocateClassPair(objc::Class* superclass, std::string_view name) = 0;
  // `imp` is a `Selector<signature>::Imp`; for a class method `cls` is the metaclass.
  virtual void class_addMethod(objc::Class* cls, objc::Sel name, const std::type_info& signature,
                               std::shared_ptr<void> imp) = 0;
  virtual void class_addProtocol(objc::Class* cls, std::string_view protocol) = 0;
  // The class's instances carry instance variables that `make` creates, of type `type`.
  virtual void class_addIvars(objc::Class* cls, const std::type_info& type, std::shared_ptr<void> (*make)()) = 0;
  virtual void objc_registerClassPair(objc::Class* cls) = 0;

  // The hooking service behind MSHookMessageEx and MSHookFunction below, with what it did. A
  // method the class only inherits is replaced on the class alone.
  virtual HookResult hookMessage(objc::Class* cls, objc::Sel selector, const std::type_info& signature,
                                 std::shared_ptr<void> replacement) = 0;
  virtual HookResult hookFunction(std::string_view symbol, const std::type_info& signature,
                                  std::shared_ptr<void> replacement) = 0;
  // Undoes the latest replacement of the method on this very class: the implementation before it
  // is back, or, where the class had only inherited the method, the class inherits it again.
  // False when there is no replacement to undo. For tests; the extension never reverts.
  virtual bool revertHook(objc::Class* cls, objc::Sel selector) = 0;
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

namespace detail {
// The saved implementation of a method the hooked class only inherited: it calls the method the
// superclass has at the moment of the call, whatever has happened to it since the hook.
template <class R, class... Args>
typename objc::Selector<R(Args...)>::Imp callInherited(objc::Class* superclass, std::string_view name) {
  return [superclass, name](const objc::Id& self, objc::Sel cmd, Args... args) -> R {
    using Imp = typename objc::Selector<R(Args...)>::Imp;
    const auto* imp = static_cast<const Imp*>(objc::classLookup(superclass, name, typeid(R(Args...))));
    if (imp == nullptr) objc::fatal("unrecognized selector", name);
    return (*imp)(self, cmd, std::move(args)...);
  };
}
template <class R, class... Args>
typename objc::Selector<R(Args...)>::Imp callInherited(objc::Class* superclass, const objc::Selector<R(Args...)>& sel) {
  return callInherited<R, Args...>(superclass, sel.name);
}
}  // namespace detail

// MSHookMessageEx(cls, sel, replacement, &saved): from now on `sel` sent to instances of `cls`
// enters `replacement`; `saved` receives what it replaced: the class's own implementation, or, for
// a method the class only inherited, one that calls the superclass's. An absent class or method
// changes nothing and leaves `saved` empty; another signature is a programming error and fatal.
// For a class method, `cls` is the metaclass (objc_getMetaClass).
template <class Signature>
HookStatus MSHookMessageEx(Runtime& runtime, objc::Class* cls, const objc::Selector<Signature>& sel,
                           typename objc::Selector<Signature>::Imp replacement,
                           typename objc::Selector<Signature>::Imp* saved) {
  using Imp = typename objc::Selector<Signature>::Imp;
  HookResult result =
      runtime.hookMessage(cls, sel.name, typeid(Signature), std::make_shared<Imp>(std::move(replacement)));
  if (result.status == HookStatus::kWrongSignature) objc::fatal("signature mismatch at hook time", sel.name);
  if (result.previous) {
    *saved = *std::static_pointer_cast<Imp>(result.previous);
  } else if (result.status == HookStatus::kInstalledOverInherited) {
    *saved = detail::callInherited(objc::class_getSuperclass(cls), sel);
  }
  return result.status;
}

// MSHookFunction(symbol, replacement, &saved), likewise for a plain function.
template <class Signature>
HookStatus MSHookFunction(Runtime& runtime, const objc::FunctionSymbol<Signature>& symbol,
                          std::function<Signature> replacement, std::function<Signature>* saved) {
  HookResult result = runtime.hookFunction(symbol.name, typeid(Signature),
                                           std::make_shared<std::function<Signature>>(std::move(replacement)));
  if (result.status == HookStatus::kWrongSignature) objc::fatal("signature mismatch at hook time", symbol.name);
  if (result.previous) *saved = *std::static_pointer_cast<std::function<Signature>>(result.previous);
  return result.status;
}

// A library as the loader sees it: first its classes are loaded, then its initialiser runs.
class Library {
 public:
  virtual ~Library() = default;
  virtual void loadClasses() = 0;
  virtual void libraryDidLoad() = 0;
};

using LibraryFactory = std::function<std::unique_ptr<Library>(const Platform&)>;

// The dynamic loader's entry for a library that starts itself, as a shared object does from its
// load-time constructor: it hands over how it is made, and the process it is being mapped into
// makes it, loads its classes and runs its initialiser, as for every library it maps. Defined by
// the program that maps libraries (the device); outside a mapping it does nothing.
void libraryMapped(const LibraryFactory& factory);

}  // namespace orvane::platform
