// The runtime interface on a real Objective-C runtime: GCC's libobjc, as Debian ships it. Classes
// are real classes (objc_allocateClassPair, class_addMethod, metaclasses, protocol objects), a send
// finds its method with the runtime's own lookup (objc_msg_lookup and its dispatch tables), and the
// hooking service is built on the runtime's method API.
//
// The runtime is one per operating-system process, so a program on this backend holds one
// simulated process: every GnuRuntime is a view of the same class table.
//
// Where libobjc behaves otherwise than the platform, the backend does what the platform does:
//  - class_replaceMethod on a method the class only inherits replaces the superclass's method in
//    libobjc; a hook installs a method of the class's own instead (see hookMessage).
//  - libobjc gives a root class's metaclass its own root `Object` as superclass; here, as on the
//    platform, the root's metaclass inherits from the root.
//  - a message to nil never reaches the runtime (objc::send answers it), so it yields the empty
//    value of every result type, floating-point and structures included, as on the platform.
//  - libobjc cannot take a method out of a class: reverting a hook over an inherited method leaves
//    a method that calls the superclass's, and the class counts as inheriting it again.
#pragma once

#include "sim/process_runtime/process_runtime.h"

namespace orvane::sim {

class GnuRuntime final : public ProcessRuntime {
 public:
  GnuRuntime();

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
};

}  // namespace orvane::sim
