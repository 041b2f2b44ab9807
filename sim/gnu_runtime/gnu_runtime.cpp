// The classes on libobjc: defining them (objc_allocateClassPair, class_addMethod, protocols),
// their instances and what they answer of themselves. The message send's lookup is
// message_send.cpp's, the hooking service method_hooks.cpp's.
#include "sim/gnu_runtime/gnu_runtime.h"

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "runtime_state.h"

namespace orvane::sim::gnu {

[[gnu::noinline]] SEL registerSelector(State& s, objc::Sel name) {
  SEL sel = sel_registerName(std::string(name).c_str());
  s.selectors.set(name.data(), KnownSelector{name.size(), sel});  // NOLINT(bugprone-suspicious-stringview-data-usage)
  return sel;
}

}  // namespace orvane::sim::gnu

namespace orvane::objc {

using sim::gnu::real;
using sim::gnu::wrap;

Id classObject(Class* cls) { return Id(Id(), reinterpret_cast<Object*>(cls)); }
Class* object_getClass(const Object& object) { return wrap(::object_getClass(real(object))); }

Class* class_getSuperclass(const Class* cls) {
  if (cls == nullptr) return nullptr;
  sim::gnu::RealClass c = real(cls);
  if (class_isMetaClass(c)) {
    // The root's metaclass inherits from the root, as on the platform (libobjc says `Object`).
    sim::gnu::RealClass owner = objc_lookUpClass(::class_getName(c));
    if (owner != nullptr && ::object_getClass(reinterpret_cast<id>(owner)) == c &&
        ::class_getSuperclass(owner) == nullptr)
      return wrap(owner);
  }
  return wrap(::class_getSuperclass(c));
}

Class* objc_getMetaClass(Class* cls) {
  return cls == nullptr ? nullptr : wrap(::object_getClass(reinterpret_cast<id>(real(cls))));
}

std::string_view class_getName(const Class* cls) { return cls == nullptr ? "nil" : ::class_getName(real(cls)); }

bool class_conformsToProtocol(const Class* cls, std::string_view protocol) {
  auto it = sim::gnu::state().protocols.find(protocol);
  if (it == sim::gnu::state().protocols.end()) return false;
  for (sim::gnu::RealClass c = real(cls); c != nullptr; c = ::class_getSuperclass(c)) {
    if (::class_conformsToProtocol(c, reinterpret_cast<Protocol*>(it->second.get()))) return true;
  }
  return false;
}

Id class_createInstance(Class* cls) {
  if (cls == nullptr) return nullptr;
  id object = ::class_createInstance(real(cls), sizeof(sim::gnu::Extra));
  sim::gnu::Extra* extra = new (object_getIndexedIvars(object)) sim::gnu::Extra{};
  for (sim::gnu::RealClass c = real(cls); c != nullptr; c = ::class_getSuperclass(c)) {
    auto it = sim::gnu::state().ivars.find(c);
    if (it == sim::gnu::state().ivars.end()) continue;
    extra->ivars = it->second.make();
    extra->type = it->second.type;
    break;
  }
  return Id(reinterpret_cast<Object*>(object), [](Object* o) {
    id dying = reinterpret_cast<id>(o);
    sim::gnu::extraOf(dying)->~Extra();
    object_dispose(dying);
  });
}

void* object_getIvars(const Object& object, const std::type_info& type) {
  id self = real(object);
  if (class_isMetaClass(::object_getClass(self))) return nullptr;  // a class: no instance variables
  const sim::gnu::Extra* extra = sim::gnu::extraOf(self);
  return extra->type != nullptr && *extra->type == type ? extra->ivars.get() : nullptr;
}

}  // namespace orvane::objc

namespace orvane::sim {

using gnu::real;
using gnu::RealClass;
using gnu::wrap;

GnuRuntime::GnuRuntime() {
  if (objc_lookUpClass("NSObject") != Nil) return;  // the process's runtime is already set up
  defineRootClass(objc_allocateClassPair(nullptr, "NSObject"));
}

objc::Class* GnuRuntime::objc_getClass(std::string_view name) {
  return wrap(objc_lookUpClass(std::string(name).c_str()));
}

objc::Class* GnuRuntime::objc_allocateClassPair(objc::Class* superclass, std::string_view name) {
  RealClass cls = ::objc_allocateClassPair(real(superclass), std::string(name).c_str(), 0);
  // A root class declares `isa` itself; libobjc would otherwise lay instances out with none, and
  // the instance variables behind it would overwrite the class pointer.
  if (cls != Nil && superclass == nullptr) class_addIvar(cls, "isa", sizeof(RealClass), 3, "#");
  return wrap(cls);
}

void GnuRuntime::class_addMethod(objc::Class* cls, objc::Sel name, const std::type_info& signature,
                                 std::shared_ptr<void> imp) {
  if (cls == nullptr) return;
  gnu::State& s = gnu::state();
  IMP slot = s.takeSlot();
  // class_addMethod never replaces a method the class has.
  if (!::class_addMethod(real(cls), gnu::selector(name), slot, gnu::kTypes)) {
    s.slotsFree.push_back(slot);
    return;
  }
  s.entries.set(slot, gnu::Entry{&signature, std::move(imp)});
}

void GnuRuntime::class_addProtocol(objc::Class* cls, std::string_view protocol) {
  if (cls == nullptr) return;
  auto& protocols = gnu::state().protocols;
  auto it = protocols.find(protocol);
  if (it == protocols.end()) {
    auto made = std::make_unique<gnu::ProtocolObject>();
    auto [node, inserted] = protocols.emplace(std::string(protocol), std::move(made));
    node->second->isa = objc_lookUpClass("Protocol");
    node->second->name = node->first.c_str();
    it = node;
  }
  ::class_addProtocol(real(cls), reinterpret_cast<Protocol*>(it->second.get()));
}

void GnuRuntime::class_addIvars(objc::Class* cls, const std::type_info& type, std::shared_ptr<void> (*make)()) {
  if (cls == nullptr || objc_lookUpClass(::class_getName(real(cls))) == real(cls)) return;  // registered
  gnu::state().ivars.insert_or_assign(real(cls), gnu::IvarDeclaration{&type, make});
}

void GnuRuntime::objc_registerClassPair(objc::Class* cls) {
  if (cls != nullptr) ::objc_registerClassPair(real(cls));
}

std::unique_ptr<ProcessRuntime> makeProcessRuntime() { return std::make_unique<GnuRuntime>(); }

// libobjc keeps one class table for the whole OS process.
ProcessModel processModel() { return {"objc", false}; }

}  // namespace orvane::sim

#if defined(__SANITIZE_ADDRESS__)
// libobjc's registration of its own classes, run by the loader before main (__objc_exec_class),
// keeps 16-byte tables it never frees. LeakSanitizer's fast unwinding stops at libobjc's
// objc_malloc (libobjc has no frame pointers), so the suppression names the library: a list this
// program got from libobjc and did not free would be hidden too, and every class_copy... list here
// is freed where it is taken.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name LeakSanitizer looks for
extern "C" const char* __lsan_default_suppressions() { return "leak:libobjc.so\n"; }
#endif
