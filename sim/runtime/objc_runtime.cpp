#include "sim/runtime/objc_runtime.h"

#include <cstring>

#include "object.h"

namespace orvane::objc {

namespace {

const Method* findMethod(const Class* cls, Sel name) {
  if (cls->foundGeneration != cls->runtime.generation()) {
    cls->found.clear();
    cls->foundGeneration = cls->runtime.generation();
  }
  for (const Class::Found& f : cls->found) {
    // The same place, and (should a name ever come from elsewhere) the same characters.
    if (f.where == name.data() && f.size == name.size()) return f.method;
  }
  for (const Class* c = cls; c != nullptr; c = c->superclass) {
    auto it = c->methods.find(name);
    if (it == c->methods.end()) continue;
    if (cls->found.size() < Class::kFoundKept)
      cls->found.push_back(Class::Found{name.data(), name.size(), &it->second});
    return &it->second;
  }
  return nullptr;
}

}  // namespace

const void* classLookup(const Class* cls, Sel name, const std::type_info& signature) {
  if (cls == nullptr) return nullptr;
  const Method* method = findMethod(cls, name);
  if (method == nullptr) return nullptr;
  if (*method->signature != signature) fatal("signature mismatch", name);
  return method->imp.get();
}

const void* msgLookup(const Object& receiver, Sel name, const std::type_info& signature) {
  return classLookup(receiver.isa(), name, signature);
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
  ++generation_;
  return result;
}

void ObjcRuntime::class_addMethod(Class* cls, Sel name, const std::type_info& signature, std::shared_ptr<void> imp) {
  if (cls == nullptr) return;
  auto [it, inserted] = cls->methods.try_emplace(std::string(name), objc::Method{&signature, nullptr});
  // class_addMethod never replaces a method the class has; class_replaceMethod would.
  if (!inserted) return;
  it->second.imp = std::move(imp);
  ++generation_;
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
    ++generation_;
    hooks.push_back(Hook{true, nullptr});
    return {HookStatus::kInstalledOverInherited, nullptr};
  }
  const HookStatus status = hooks.empty() ? HookStatus::kInstalled : HookStatus::kAlreadyReplaced;
  std::shared_ptr<void> previous = std::exchange(own->second.imp, std::move(replacement));
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
    ++generation_;
  } else {
    own->second.imp = hook.previous;
  }
  return true;
}

std::unique_ptr<ProcessRuntime> makeProcessRuntime() { return std::make_unique<ObjcRuntime>(); }

// Every ObjcRuntime holds its own classes.
ProcessModel processModel() { return {"fast", true}; }

}  // namespace orvane::sim
