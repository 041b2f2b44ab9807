// The hooking service on libobjc: a hook sets the method's implementation (method_setImplementation)
// and keeps what it replaced, and a method the class only inherited gets one of the class's own. On
// the phone, the hooking library's MSHookMessageEx does this.
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "runtime_state.h"
#include "sim/gnu_runtime/gnu_runtime.h"

namespace orvane::sim {
namespace {

using gnu::real;
using gnu::RealClass;

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

}  // namespace

using platform::HookResult;
using platform::HookStatus;

HookResult GnuRuntime::hookMessage(objc::Class* cls, objc::Sel name, const std::type_info& signature,
                                   std::shared_ptr<void> replacement) {
  if (cls == nullptr) return {HookStatus::kNoSuchClass, nullptr};
  gnu::State& s = gnu::state();
  RealClass c = real(cls);
  SEL sel = gnu::selector(name);
  Method found = class_getInstanceMethod(c, sel);  // along the superclasses
  const gnu::Entry* entry = found == nullptr ? nullptr : s.entries.find(method_getImplementation(found));
  if (entry == nullptr) return {HookStatus::kNoSuchMethod, nullptr};
  if (*entry->signature != signature) return {HookStatus::kWrongSignature, nullptr};

  const std::pair<RealClass, std::string> key{c, std::string(name)};
  std::vector<gnu::Hook>& hooks = s.hooks[key];
  IMP slot = s.takeSlot();
  s.entries.set(slot, gnu::Entry{&signature, std::move(replacement)});
  Method own = ownMethod(c, sel);
  if (own == nullptr || s.inheritedAgain.erase(key) > 0) {
    // Inherited: the class gets a method of its own and the superclass keeps its. (libobjc's
    // class_replaceMethod would have replaced the superclass's.)
    if (own == nullptr) {
      ::class_addMethod(c, sel, slot, gnu::kTypes);
    } else {
      method_setImplementation(own, slot);
    }
    hooks.push_back(gnu::Hook{true, nullptr});
    return {HookStatus::kInstalledOverInherited, nullptr};
  }
  const HookStatus status = hooks.empty() ? HookStatus::kInstalled : HookStatus::kAlreadyReplaced;
  IMP previous = method_setImplementation(own, slot);
  hooks.push_back(gnu::Hook{false, previous});
  return {status, s.entries.at(previous).imp};
}

bool GnuRuntime::revertHook(objc::Class* cls, objc::Sel name) {
  gnu::State& s = gnu::state();
  const std::pair<RealClass, std::string> key{real(cls), std::string(name)};
  auto hooks = s.hooks.find(key);
  if (hooks == s.hooks.end() || hooks->second.empty()) return false;
  const gnu::Hook hook = hooks->second.back();
  hooks->second.pop_back();
  Method own = ownMethod(real(cls), gnu::selector(name));
  if (hook.added) {
    // libobjc cannot take the method out again: it answers with the superclass's from now on.
    IMP slot = s.takeSlot();
    s.entries.set(slot, gnu::Entry{s.entries.at(method_getImplementation(own)).signature, nullptr,
                                   ::class_getSuperclass(real(cls))});
    method_setImplementation(own, slot);
    s.inheritedAgain.insert(key);
  } else {
    method_setImplementation(own, hook.previous);
  }
  return true;
}

}  // namespace orvane::sim
