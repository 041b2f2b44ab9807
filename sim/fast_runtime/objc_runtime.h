// The fast runtime: one simulated process's classes and replaceable functions, in this OS process.
// Deterministic and cheap; what the device, the sanitizers, the fuzzers and the benchmarks run on.
//
// Classes have superclasses and metaclasses as on the platform: a send walks the chain, class
// methods are inherited along the metaclasses, and the root's metaclass inherits from the root, so a
// class answers its root's instance methods too. Every process starts with the root class "NSObject"
// (+alloc, +new, -init, -autorelease, -dealloc).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/process_runtime/process_runtime.h"

namespace orvane::sim {

class ObjcRuntime final : public ProcessRuntime {
 public:
  ObjcRuntime();
  ~ObjcRuntime() override;
  ObjcRuntime(const ObjcRuntime&) = delete;
  ObjcRuntime& operator=(const ObjcRuntime&) = delete;

  objc::Class* objc_getClass(std::string_view name) override;
  objc::Class* objc_allocateClassPair(objc::Class* superclass, std::string_view name) override;
  void class_addMethod(objc::Class* cls, objc::Sel name, const std::type_info& signature,
                       std::shared_ptr<void> imp) override;
  void class_addProtocol(objc::Class* cls, std::string_view protocol) override;
  void class_addIvars(objc::Class* cls, const std::type_info& type, std::shared_ptr<void> (*make)()) override;
  void objc_registerClassPair(objc::Class* cls) override;
  platform::HookResult hookMessage(objc::Class* cls, objc::Sel selector, const std::type_info& signature,
                                   std::shared_ptr<void> replacement) override;
  bool revertHook(objc::Class* cls, objc::Sel selector) override;

 private:
  struct Hook {
    bool added;  // the class had only inherited the method: reverting removes it again
    std::shared_ptr<void> previous;
  };
  objc::Class* makeClassPair(objc::Class* superclass, std::string_view name);
  // Empties the method caches of `cls` and of every class that inherits from it.
  void methodsChanged(const objc::Class* cls);

  std::vector<std::unique_ptr<objc::Class>> allocated_;
  std::map<std::string, objc::Class*, std::less<>> classes_;
  std::map<std::pair<const objc::Class*, std::string>, std::vector<Hook>> hooks_;
  // Implementations taken out of a class or a function: kept, since one may be running.
  std::vector<std::shared_ptr<void>> retired_;
};

}  // namespace orvane::sim
