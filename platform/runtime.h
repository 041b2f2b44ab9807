// The message runtime as the extension may know it: opaque objects and classes, typed selectors and
// the message send. What an object or a class holds, and how a send finds its method, belong to the
// runtime that implements the functions declared at the end of this file (see docs/architecture.md,
// "Adding a platform backend"); the extension links against whichever runtime the process has.
//
// Every selector carries its signature in its type, and every method records the signature it was
// defined with; a send or a hook with another signature is a programming error and stops the program
// at once. A message to nil does nothing and yields the empty value of its result type: nothing,
// zero, false, a default-constructed structure.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string_view>
#include <typeinfo>
#include <utility>

namespace orvane::objc {

// An object of the runtime; what it holds is the runtime's own. A class is an object too.
class Object;
// A class of the runtime: its name, its superclass, its methods and its metaclass.
class Class;

// A strong reference to an object; empty is nil.
using Id = std::shared_ptr<Object>;
// The selector a method was entered through (`_cmd`). Its name is a constant, as a registered SEL
// is: the same characters at the same place for the program's life, so runtimes keep what they find
// by that place.
using Sel = std::string_view;

template <class Signature>
struct Selector;

// A selector whose methods take `Args...` and return `R`. An implementation receives the receiver
// (the class itself for a class method) and the selector before the arguments.
template <class R, class... Args>
struct Selector<R(Args...)> {
  using Signature = R(Args...);
  using Imp = std::function<R(const Id& self, Sel cmd, Args... args)>;
  std::string_view name;
};

// A plain function of the process image, replaceable as a whole.
template <class Signature>
struct FunctionSymbol {
  using Imp = std::function<Signature>;
  std::string_view name;
};

[[noreturn]] inline void fatal(std::string_view what, std::string_view name) {
  std::fprintf(stderr, "runtime error: %.*s: %.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(name.size()), name.data());
  std::abort();
}

// ---- what a runtime implements (one definition of each per program) ----

// objc_msg_lookup: the implementation `receiver` answers `name` with, found on its class or the
// nearest superclass that has it (a class receiver finds class methods, along the metaclasses); a
// `Selector<signature>::Imp`, or nullptr when no class in the chain has the method. A method found
// with another signature is fatal.
const void* msgLookup(const Object& receiver, Sel name, const std::type_info& signature);
// objc_msgSend's lookup: as msgLookup, but a selector no class in the chain has is fatal
// ("unrecognized selector"), as the platform raises it, so a send never tests what it found.
const void* msgSendLookup(const Object& receiver, Sel name, const std::type_info& signature);
// class_getMethodImplementation for an instance of `cls` (a metaclass: for its class's methods),
// looked up now; nullptr when the chain has no such method.
const void* classLookup(const Class* cls, Sel name, const std::type_info& signature);
// The class as a receiver of class messages.
Id classObject(Class* cls);
Class* object_getClass(const Object& object);
Class* class_getSuperclass(const Class* cls);
// The metaclass: where a class's class methods live.
Class* objc_getMetaClass(Class* cls);
std::string_view class_getName(const Class* cls);
bool class_conformsToProtocol(const Class* cls, std::string_view protocol);
// class_createInstance: a new object of `cls` with the instance variables its class declared.
Id class_createInstance(Class* cls);
// The object's instance variables if they are a `type`, else nullptr.
void* object_getIvars(const Object& object, const std::type_info& type);

// ---- sends ----

// [self sel:args...]
template <class R, class... Args, class... Actual>
R send(const Id& self, const Selector<R(Args...)>& sel, Actual&&... args) {
  if (!self) return R();
  using Imp = typename Selector<R(Args...)>::Imp;
  const auto* imp = static_cast<const Imp*>(msgSendLookup(*self, sel.name, typeid(R(Args...))));
  return (*imp)(self, sel.name, std::forward<Actual>(args)...);
}

// [cls sel:args...]
template <class R, class... Args, class... Actual>
R sendClass(Class* cls, const Selector<R(Args...)>& sel, Actual&&... args) {
  if (cls == nullptr) return R();
  return send(classObject(cls), sel, std::forward<Actual>(args)...);
}

// [self respondsToSelector:sel]
template <class Signature>
bool respondsTo(const Id& self, const Selector<Signature>& sel) {
  return self && msgLookup(*self, sel.name, typeid(Signature)) != nullptr;
}

// The instance variables of an object whose class declared them as a `T`; nullptr for nil or for an
// object of another kind.
template <class T>
T* ivarsOf(const Id& object) {
  return object ? static_cast<T*>(object_getIvars(*object, typeid(T))) : nullptr;
}

}  // namespace orvane::objc
