#include "sim/fast_runtime/objc_runtime.h"

#include "object.h"

namespace orvane::objc {

void MethodCache::place(Entry* buckets, std::size_t mask, const Entry& entry) {
  std::size_t at = indexOf(entry.name, mask);
  while (buckets[at].name != nullptr) at = (at + 1) & mask;
  buckets[at] = entry;
}

void MethodCache::insert(const Entry& entry) {
  const std::size_t buckets = entries_ == kEmpty ? 0 : mask() + 1;
  if ((used_ + 1) * 4 > buckets * 3) {
    // Grown to twice the buckets (eight at first), and what it held entered again.
    const std::size_t grown = buckets == 0 ? 8 : buckets * 2;
    auto owned = std::make_unique<Entry[]>(grown);
    for (std::size_t i = 0; i < buckets; ++i) {
      if (entries_[i].name != nullptr) place(owned.get(), grown - 1, entries_[i]);
    }
    owned_ = std::move(owned);
    entries_ = owned_.get();
    offsetMask_ = (grown - 1) * sizeof(Entry);
  }
  place(owned_.get(), mask(), entry);
  ++used_;
}

const void* MethodCache::find(Sel name, const std::type_info& signature) const {
  // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage): a selector is kept by where its name lives
  for (std::size_t at = indexOf(name.data(), mask()); entries_[at].name != nullptr; at = (at + 1) & mask()) {
    if (holds(entries_[at], name, signature)) return entries_[at].imp;
  }
  return nullptr;
}

void MethodCache::clear() {
  entries_ = kEmpty;
  offsetMask_ = 0;
  used_ = 0;
  owned_.reset();
}

namespace {

// A send the cache's first bucket could not answer: the rest of the cache, else the method found on
// the class or the nearest superclass that has it, its signature checked, and the cache filled.
[[gnu::noinline]] const void* lookUpFurther(const Class* cls, Sel name, const std::type_info& signature) {
  if (const void* imp = cls->cache.find(name, signature)) return imp;
  for (const Class* c = cls; c != nullptr; c = c->superclass) {
    auto it = c->methods.find(name);
    if (it == c->methods.end()) continue;
    if (*it->second.signature != signature) fatal("signature mismatch", name);
    cls->cache.insert(MethodCache::Entry{name.data(), name.size(), &signature, it->second.imp.get()});
    return it->second.imp.get();
  }
  return nullptr;
}

// A send whose method no class in the chain has.
[[gnu::noinline]] const void* sendFurther(const Class* cls, Sel name, const std::type_info& signature) {
  const void* imp = lookUpFurther(cls, name, signature);
  if (imp == nullptr) fatal("unrecognized selector", name);
  return imp;
}

// What a send costs when its selector is the one in its bucket: a handful of loads and compares;
// `Further` (lookUpFurther or sendFurther) does the rest.
template <const void* (*Further)(const Class*, Sel, const std::type_info&)>
const void* lookUp(const Class* cls, Sel name, const std::type_info& signature) {
  const MethodCache::Entry& entry = cls->cache.first(name);
  if (MethodCache::holds(entry, name, signature)) return entry.imp;
  return Further(cls, name, signature);
}

}  // namespace

const void* classLookup(const Class* cls, Sel name, const std::type_info& signature) {
  return cls == nullptr ? nullptr : lookUp<lookUpFurther>(cls, name, signature);
}

const void* msgLookup(const Object& receiver, Sel name, const std::type_info& signature) {
  return lookUp<lookUpFurther>(receiver.isa(), name, signature);
}

const void* msgSendLookup(const Object& receiver, Sel name, const std::type_info& signature) {
  return lookUp<sendFurther>(receiver.isa(), name, signature);
}

Id classObject(Class* cls) { return Id(Id(), cls); }
Class* object_getClass(const Object& object) { return object.isa(); }
Class* class_getSuperclass(const Class* cls) { return cls ? cls->superclass : nullptr; }
Class* objc_getMetaClass(Class* cls) { return cls ? cls->isa() : nullptr; }
std::string_view class_getName(const Class* cls) { return cls ? std::string_view(cls->name) : "nil"; }

bool class_conformsToProtocol(const Class* cls, std::string_view protocol) {
  for (const Class* c = cls; c != nullptr; c = c->superclass) {
    for (const std::string& p : c->protocols) {
      if (p == protocol) return true;
    }
  }
  return false;
}

Id class_createInstance(Class* cls) {
  if (cls == nullptr) return nullptr;
  auto object = std::make_shared<Object>(cls);
  for (const Class* c = cls; c != nullptr; c = c->superclass) {
    if (c->makeIvars != nullptr) {
      object->ivars = c->makeIvars();
      object->ivarType = c->ivarType;
      break;
    }
  }
  return object;
}

void* object_getIvars(const Object& object, const std::type_info& type) {
  return object.ivarType != nullptr && *object.ivarType == type ? object.ivars.get() : nullptr;
}

}  // namespace orvane::objc

namespace orvane::sim {

using objc::Class;
using objc::Id;
using objc::Sel;
using platform::HookResult;
using platform::HookStatus;

ObjcRuntime::ObjcRuntime() {
  // The root class and its metaclass, whose superclass is the root class itself.
  Class* root = objc_allocateClassPair(nullptr, "NSObject");
  root->isa()->superclass = root;
  defineRootClass(root);
}

ObjcRuntime::~ObjcRuntime() = default;

Class* ObjcRuntime::objc_getClass(std::string_view name) {
  auto it = classes_.find(name);
  return it == classes_.end() ? nullptr : it->second;
}

Class* ObjcRuntime::objc_allocateClassPair(Class* superclass, std::string_view name) {
  if (objc_getClass(name) != nullptr) return nullptr;
  for (const auto& cls : allocated_) {
    if (!cls->isMeta && cls->name == name) return nullptr;  // allocated, not yet registered
  }
  return makeClassPair(superclass, name);
}

Class* ObjcRuntime::makeClassPair(Class* superclass, std::string_view name) {
  // A metaclass's own class is the root's metaclass; the root's metaclass is its own.
  Class* rootMeta = nullptr;
  if (superclass != nullptr) {
    rootMeta = superclass->isa();
    while (rootMeta->superclass != nullptr && rootMeta->superclass->isMeta) rootMeta = rootMeta->superclass;
  }
  auto meta =
      std::make_unique<Class>(*this, std::string(name), superclass ? superclass->isa() : nullptr, rootMeta, true);
  auto cls = std::make_unique<Class>(*this, std::string(name), superclass, meta.get(), false);
  Class* result = cls.get();
  allocated_.push_back(std::move(meta));
  allocated_.push_back(std::move(cls));
  return result;
}

void ObjcRuntime::class_addMethod(Class* cls, Sel name, const std::type_info& signature, std::shared_ptr<void> imp) {
  if (cls == nullptr) return;
  auto [it, inserted] = cls->methods.try_emplace(std::string(name), objc::Method{&signature, nullptr});
  // class_addMethod never replaces a method the class has; class_replaceMethod would.
  if (!inserted) return;
  it->second.imp = std::move(imp);
  methodsChanged(cls);
}

void ObjcRuntime::class_addProtocol(Class* cls, std::string_view protocol) {
  if (cls != nullptr) cls->protocols.emplace_back(protocol);
}

void ObjcRuntime::class_addIvars(Class* cls, const std::type_info& type, std::shared_ptr<void> (*make)()) {
  if (cls == nullptr || cls->registered) return;  // as class_addIvar: only before registration
  cls->ivarType = &type;
  cls->makeIvars = make;
}

void ObjcRuntime::objc_registerClassPair(Class* cls) {
  if (cls == nullptr || cls->registered) return;
  cls->registered = true;
  classes_.emplace(cls->name, cls);
}

HookResult ObjcRuntime::hookMessage(Class* cls, Sel selector, const std::type_info& signature,
                                    std::shared_ptr<void> replacement) {
  if (cls == nullptr) return {HookStatus::kNoSuchClass, nullptr};
  const objc::Method* found = nullptr;
  for (const Class* c = cls; c != nullptr && found == nullptr; c = c->superclass) {
    auto it = c->methods.find(selector);
    if (it != c->methods.end()) found = &it->second;
  }
  if (found == nullptr) return {HookStatus::kNoSuchMethod, nullptr};
  if (*found->signature != signature) return {HookStatus::kWrongSignature, nullptr};

  std::vector<Hook>& hooks = hooks_[{cls, std::string(selector)}];
  auto own = cls->methods.find(selector);
  if (own == cls->methods.end()) {
    // Inherited: the class gets a method of its own; the superclass keeps its.
    cls->methods.emplace(std::string(selector), objc::Method{&signature, std::move(replacement)});
    methodsChanged(cls);
    hooks.push_back(Hook{true, nullptr});
    return {HookStatus::kInstalledOverInherited, nullptr};
  }
  const HookStatus status = hooks.empty() ? HookStatus::kInstalled : HookStatus::kAlreadyReplaced;
  std::shared_ptr<void> previous = std::exchange(own->second.imp, std::move(replacement));
  methodsChanged(cls);
  hooks.push_back(Hook{false, previous});
  return {status, std::move(previous)};
}

bool ObjcRuntime::revertHook(Class* cls, Sel selector) {
  auto hooks = hooks_.find({cls, std::string(selector)});
  if (hooks == hooks_.end() || hooks->second.empty()) return false;
  const Hook hook = hooks->second.back();
  hooks->second.pop_back();
  auto own = cls->methods.find(selector);
  retired_.push_back(own->second.imp);
  if (hook.added) {
    cls->methods.erase(own);
  } else {
    own->second.imp = hook.previous;
  }
  methodsChanged(cls);
  return true;
}

void ObjcRuntime::methodsChanged(const Class* cls) {
  // What the class answers has changed, and so has what every class below it inherits: their
  // caches are emptied, as the platform runtime flushes a class's caches and its subclasses'.
  // Most classes have had nothing sent to them when their methods change (a process's classes are
  // defined at its start): an empty cache needs no look at where the class stands.
  for (const auto& c : allocated_) {
    if (c->cache.empty()) continue;
    for (const Class* up = c.get(); up != nullptr; up = up->superclass) {
      if (up != cls) continue;
      c->cache.clear();
      break;
    }
  }
}

std::unique_ptr<ProcessRuntime> makeProcessRuntime() { return std::make_unique<ObjcRuntime>(); }

// Every ObjcRuntime holds its own classes.
ProcessModel processModel() { return {"fast", true}; }

}  // namespace orvane::sim
