#include "sim/gnu_runtime/gnu_runtime.h"

#include <objc/message.h>
#include <objc/runtime.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// libobjc's own names (Class, Method, IMP, SEL, id) are used unqualified; the seam's are objc::...
namespace orvane::sim {
namespace {

using RealClass = ::Class;

// A method is entered through objc::send, which finds it with objc_msg_lookup and calls the
// closure the method was defined with. Each method's IMP is therefore an address of its own that
// names the closure: one of a pool of functions that stop the program if anything ever calls them
// directly (nothing outside the seam sends to these classes).
constexpr std::size_t kSlots = 4096;
template <std::size_t N>
[[noreturn]] void unboundSlot() {
  static constexpr std::size_t kSlot = N;  // a different body for every slot: no two may be merged
  std::fprintf(stderr, "runtime error: implementation slot %zu entered outside objc::send\n", kSlot);
  std::abort();
}
template <std::size_t... N>
std::array<IMP, sizeof...(N)> makeSlots(std::index_sequence<N...>) {
  return {reinterpret_cast<IMP>(&unboundSlot<N>)...};
}

// The types string every method is added with ("?": of unknown type). The C++ signature is what
// the seam checks, from the entry below.
constexpr const char* kTypes = "?";

struct Entry {
  const std::type_info* signature;
  std::shared_ptr<void> imp;    // a Selector<signature>::Imp; empty for a method inherited again
  RealClass inheritFrom = Nil;  // set: the method answers with the superclass's, found at call time
};

// A protocol object as libobjc lays it out (struct objc_protocol). libobjc has no call that makes
// one at run time; on the platform, protocols come from the libraries that declare them.
struct ProtocolObject {
  RealClass isa;
  const char* name;
  void* protocols;
  void* instanceMethods;
  void* classMethods;
};

struct IvarDeclaration {
  const std::type_info* type;
  std::shared_ptr<void> (*make)();
};

// What every instance carries after the class's own (empty) instance variables.
struct Extra {
  std::shared_ptr<void> ivars;
  const std::type_info* type = nullptr;
};

struct Hook {
  bool added;  // the class had only inherited the method
  IMP previous;
};

// A table from pointers (never null) to values, for the two lookups a send makes beside libobjc's
// own: open addressing with linear probing, at most half full, nothing ever taken out.
template <class Key, class Value>
class PointerTable {
 public:
  Value* find(Key key) {
    for (std::size_t i = indexOf(key, mask_); slots_[i].key != nullptr; i = (i + 1) & mask_) {
      if (slots_[i].key == key) return &slots_[i].value;
    }
    return nullptr;
  }
  Value& at(Key key) {
    Value* value = find(key);
    if (value == nullptr) objc::fatal("no such entry", "a table of the runtime");
    return *value;
  }
  void set(Key key, Value value) {
    if (Value* known = find(key)) {
      *known = std::move(value);
      return;
    }
    if ((used_ + 1) * 2 > slots_.size()) grow();
    place(slots_, mask_, Slot{key, std::move(value)});
    ++used_;
  }

 private:
  struct Slot {
    Key key = nullptr;
    Value value{};
  };
  static std::size_t indexOf(Key key, std::size_t mask) {
    // Fibonacci hashing of the address: the implementation slots lie at a fixed stride, which a
    // plain mask of the address would crowd into a few buckets.
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(key) * 0x9E3779B97F4A7C15ULL) >> 40) & mask;
  }
  static void place(std::vector<Slot>& slots, std::size_t mask, Slot slot) {
    std::size_t i = indexOf(slot.key, mask);
    while (slots[i].key != nullptr) i = (i + 1) & mask;
    slots[i] = std::move(slot);
  }
  void grow() {
    std::vector<Slot> grown(slots_.size() * 2);
    for (Slot& slot : slots_) {
      if (slot.key != nullptr) place(grown, grown.size() - 1, std::move(slot));
    }
    slots_ = std::move(grown);
    mask_ = slots_.size() - 1;
  }

  std::vector<Slot> slots_ = std::vector<Slot>(64);
  std::size_t mask_ = 63;
  std::size_t used_ = 0;
};

// A selector as the seam knows it: the length of the name it was registered under, and libobjc's.
struct KnownSelector {
  std::size_t size = 0;
  SEL sel = nullptr;
};

// The runtime's state beyond libobjc's own tables. libobjc's class table is one per operating-system
// process, and so is this.
struct State {
  std::array<IMP, kSlots> slots = makeSlots(std::make_index_sequence<kSlots>());
  std::size_t slotsUsed = 0;
  std::vector<IMP> slotsFree;
  PointerTable<IMP, Entry> entries;
  PointerTable<const char*, KnownSelector> selectors;
  std::map<std::string, std::unique_ptr<ProtocolObject>, std::less<>> protocols;
  std::unordered_map<RealClass, IvarDeclaration> ivars;
  std::map<std::pair<RealClass, std::string>, std::vector<Hook>> hooks;
  std::set<std::pair<RealClass, std::string>> inheritedAgain;

  IMP takeSlot() {
    if (!slotsFree.empty()) {
      IMP slot = slotsFree.back();
      slotsFree.pop_back();
      return slot;
    }
    if (slotsUsed == kSlots) objc::fatal("out of implementation slots", "more than 4096 methods");
    return slots[slotsUsed++];
  }
};

State& state() {
  static State* s = new State;  // never destroyed: closures may run while the program exits
  return *s;
}

RealClass real(const objc::Class* cls) { return reinterpret_cast<RealClass>(const_cast<objc::Class*>(cls)); }
objc::Class* wrap(RealClass cls) { return reinterpret_cast<objc::Class*>(cls); }
id real(const objc::Object& object) { return reinterpret_cast<id>(const_cast<objc::Object*>(&object)); }

// The selector of that name. Selector names are constants (a send names its method with the same
// characters at the same place every time), so the runtime's selector is kept by that place and
// the name's length.
[[gnu::noinline]] SEL registerSelector(State& s, objc::Sel name) {
  SEL sel = sel_registerName(std::string(name).c_str());
  s.selectors.set(name.data(), KnownSelector{name.size(), sel});  // NOLINT(bugprone-suspicious-stringview-data-usage)
  return sel;
}

SEL selector(objc::Sel name) {
  State& s = state();
  const KnownSelector* known = s.selectors.find(name.data());  // NOLINT(bugprone-suspicious-stringview-data-usage)
  return known != nullptr && known->size == name.size() ? known->sel : registerSelector(s, name);
}

// What closureOf does past a method of the very signature sent with: another signature's name
// compared, a method answering with its superclass's.
[[gnu::noinline]] const void* closureFurther(const Entry& entry, objc::Sel name, const std::type_info& signature) {
  if (*entry.signature != signature) objc::fatal("signature mismatch", name);
  if (entry.inheritFrom != Nil) return objc::classLookup(wrap(entry.inheritFrom), name, signature);
  return entry.imp.get();
}

const void* closureOf(IMP imp, objc::Sel name, const std::type_info& signature) {
  const Entry* entry = state().entries.find(imp);
  if (entry == nullptr) return nullptr;  // forwarding: no class in the chain has the method
  if (entry->signature == &signature && entry->inheritFrom == Nil) return entry->imp.get();
  return closureFurther(*entry, name, signature);
}

// What a send to `receiver` enters: libobjc's implementation for the selector, as its closure.
inline const void* sendTarget(const objc::Object& receiver, objc::Sel name, const std::type_info& signature) {
  return closureOf(objc_msg_lookup(real(receiver), selector(name)), name, signature);
}

// The class's own method for the selector, not one it inherits.
Method ownMethod(RealClass cls, SEL sel) {
  unsigned count = 0;
  Method* methods = class_copyMethodList(cls, &count);
  Method own = nullptr;
  for (unsigned i = 0; i < count && own == nullptr; ++i) {
    if (sel_isEqual(method_getName(methods[i]), sel)) own = methods[i];
  }
  std::free(static_cast<void*>(methods));
  return own;
}

Extra* extraOf(id object) { return static_cast<Extra*>(object_getIndexedIvars(object)); }

}  // namespace
}  // namespace orvane::sim

namespace orvane::objc {

using sim::real;
using sim::wrap;

const void* msgLookup(const Object& receiver, Sel name, const std::type_info& signature) {
  return sim::sendTarget(receiver, name, signature);
}

const void* msgSendLookup(const Object& receiver, Sel name, const std::type_info& signature) {
  const void* imp = sim::sendTarget(receiver, name, signature);
  if (imp == nullptr) [[unlikely]]
    fatal("unrecognized selector", name);
  return imp;
}

const void* classLookup(const Class* cls, Sel name, const std::type_info& signature) {
  if (cls == nullptr) return nullptr;
  return sim::closureOf(class_getMethodImplementation(real(cls), sim::selector(name)), name, signature);
}

Id classObject(Class* cls) { return Id(Id(), reinterpret_cast<Object*>(cls)); }
Class* object_getClass(const Object& object) { return wrap(::object_getClass(real(object))); }

Class* class_getSuperclass(const Class* cls) {
  if (cls == nullptr) return nullptr;
  sim::RealClass c = real(cls);
  if (class_isMetaClass(c)) {
    // The root's metaclass inherits from the root, as on the platform (libobjc says `Object`).
    sim::RealClass owner = objc_lookUpClass(::class_getName(c));
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
  auto it = sim::state().protocols.find(protocol);
  if (it == sim::state().protocols.end()) return false;
  for (sim::RealClass c = real(cls); c != nullptr; c = ::class_getSuperclass(c)) {
    if (::class_conformsToProtocol(c, reinterpret_cast<Protocol*>(it->second.get()))) return true;
  }
  return false;
}

Id class_createInstance(Class* cls) {
  if (cls == nullptr) return nullptr;
  id object = ::class_createInstance(real(cls), sizeof(sim::Extra));
  sim::Extra* extra = new (object_getIndexedIvars(object)) sim::Extra{};
  for (sim::RealClass c = real(cls); c != nullptr; c = ::class_getSuperclass(c)) {
    auto it = sim::state().ivars.find(c);
    if (it == sim::state().ivars.end()) continue;
    extra->ivars = it->second.make();
    extra->type = it->second.type;
    break;
  }
  return Id(reinterpret_cast<Object*>(object), [](Object* o) {
    id dying = reinterpret_cast<id>(o);
    sim::extraOf(dying)->~Extra();
    object_dispose(dying);
  });
}

void* object_getIvars(const Object& object, const std::type_info& type) {
  id self = real(object);
  if (class_isMetaClass(::object_getClass(self))) return nullptr;  // a class: no instance variables
  const sim::Extra* extra = sim::extraOf(self);
  return extra->type != nullptr && *extra->type == type ? extra->ivars.get() : nullptr;
}

}  // namespace orvane::objc

namespace orvane::sim {

using platform::HookResult;
using platform::HookStatus;

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
  State& s = state();
  IMP slot = s.takeSlot();
  // class_addMethod never replaces a method the class has.
  if (!::class_addMethod(real(cls), selector(name), slot, kTypes)) {
    s.slotsFree.push_back(slot);
    return;
  }
  s.entries.set(slot, Entry{&signature, std::move(imp)});
}

void GnuRuntime::class_addProtocol(objc::Class* cls, std::string_view protocol) {
  if (cls == nullptr) return;
  auto& protocols = state().protocols;
  auto it = protocols.find(protocol);
  if (it == protocols.end()) {
    auto made = std::make_unique<ProtocolObject>();
    auto [node, inserted] = protocols.emplace(std::string(protocol), std::move(made));
    node->second->isa = objc_lookUpClass("Protocol");
    node->second->name = node->first.c_str();
    it = node;
  }
  ::class_addProtocol(real(cls), reinterpret_cast<Protocol*>(it->second.get()));
}

void GnuRuntime::class_addIvars(objc::Class* cls, const std::type_info& type, std::shared_ptr<void> (*make)()) {
  if (cls == nullptr || objc_lookUpClass(::class_getName(real(cls))) == real(cls)) return;  // registered
  state().ivars.insert_or_assign(real(cls), IvarDeclaration{&type, make});
}

void GnuRuntime::objc_registerClassPair(objc::Class* cls) {
  if (cls != nullptr) ::objc_registerClassPair(real(cls));
}

HookResult GnuRuntime::hookMessage(objc::Class* cls, objc::Sel name, const std::type_info& signature,
                                   std::shared_ptr<void> replacement) {
  if (cls == nullptr) return {HookStatus::kNoSuchClass, nullptr};
  State& s = state();
  RealClass c = real(cls);
  SEL sel = selector(name);
  Method found = class_getInstanceMethod(c, sel);  // along the superclasses
  const Entry* entry = found == nullptr ? nullptr : s.entries.find(method_getImplementation(found));
  if (entry == nullptr) return {HookStatus::kNoSuchMethod, nullptr};
  if (*entry->signature != signature) return {HookStatus::kWrongSignature, nullptr};

  const std::pair<RealClass, std::string> key{c, std::string(name)};
  std::vector<Hook>& hooks = s.hooks[key];
  IMP slot = s.takeSlot();
  s.entries.set(slot, Entry{&signature, std::move(replacement)});
  Method own = ownMethod(c, sel);
  if (own == nullptr || s.inheritedAgain.erase(key) > 0) {
    // Inherited: the class gets a method of its own and the superclass keeps its. (libobjc's
    // class_replaceMethod would have replaced the superclass's.)
    if (own == nullptr) {
      ::class_addMethod(c, sel, slot, kTypes);
    } else {
      method_setImplementation(own, slot);
    }
    hooks.push_back(Hook{true, nullptr});
    return {HookStatus::kInstalledOverInherited, nullptr};
  }
  const HookStatus status = hooks.empty() ? HookStatus::kInstalled : HookStatus::kAlreadyReplaced;
  IMP previous = method_setImplementation(own, slot);
  hooks.push_back(Hook{false, previous});
  return {status, s.entries.at(previous).imp};
}

bool GnuRuntime::revertHook(objc::Class* cls, objc::Sel name) {
  State& s = state();
  const std::pair<RealClass, std::string> key{real(cls), std::string(name)};
  auto hooks = s.hooks.find(key);
  if (hooks == s.hooks.end() || hooks->second.empty()) return false;
  const Hook hook = hooks->second.back();
  hooks->second.pop_back();
  Method own = ownMethod(real(cls), selector(name));
  if (hook.added) {
    // libobjc cannot take the method out again: it answers with the superclass's from now on.
    IMP slot = s.takeSlot();
    s.entries.set(
        slot, Entry{s.entries.at(method_getImplementation(own)).signature, nullptr, ::class_getSuperclass(real(cls))});
    method_setImplementation(own, slot);
    s.inheritedAgain.insert(key);
  } else {
    method_setImplementation(own, hook.previous);
  }
  return true;
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
