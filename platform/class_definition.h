// Defining a class in the process's runtime, as objc_allocateClassPair, class_addMethod,
// class_addProtocol, class_addIvar and objc_registerClassPair do: the one way the extension (and
// the device's stand-in classes) make classes, whatever runtime the process has.
//
//   objc::Class* cls = ClassDefinition(runtime, runtime.objc_getClass("NSObject"), "ChangeMode")
//                          .protocol("LAListener")
//                          .method(sel::receiveEvent, [](const Id& self, Sel, Id activator, Id event) {...})
//                          .registerClass();
#pragma once

#include <memory>
#include <string_view>
#include <utility>

#include "platform/runtime.h"
#include "platform/services.h"

namespace orvane::platform {

class ClassDefinition {
 public:
  // A new class `name` under `superclass` (nullptr: a new root class). When the process already
  // has a class of that name nothing is defined, and registerClass() gives nullptr.
  ClassDefinition(Runtime& runtime, objc::Class* superclass, std::string_view name)
      : runtime_(runtime), cls_(runtime.objc_allocateClassPair(superclass, name)) {}
  ClassDefinition(const ClassDefinition&) = delete;
  ClassDefinition& operator=(const ClassDefinition&) = delete;

  // The class being defined, for methods that refer to it; nullptr when it could not be allocated.
  objc::Class* cls() const { return cls_; }

  template <class Signature>
  ClassDefinition& method(const objc::Selector<Signature>& sel, typename objc::Selector<Signature>::Imp imp) {
    if (cls_ != nullptr) add(cls_, sel, std::move(imp));
    return *this;
  }
  // A class method: `self` is the class (or the subclass the message was sent to).
  template <class Signature>
  ClassDefinition& classMethod(const objc::Selector<Signature>& sel, typename objc::Selector<Signature>::Imp imp) {
    if (cls_ != nullptr) add(objc::objc_getMetaClass(cls_), sel, std::move(imp));
    return *this;
  }
  ClassDefinition& protocol(std::string_view name) {
    if (cls_ != nullptr) runtime_.class_addProtocol(cls_, name);
    return *this;
  }
  // Every instance carries a value-initialised `T`, reached with objc::ivarsOf<T>.
  template <class T>
  ClassDefinition& ivars() {
    if (cls_ != nullptr)
      runtime_.class_addIvars(cls_, typeid(T), [] { return std::shared_ptr<void>(std::make_shared<T>()); });
    return *this;
  }
  // Registers the class with the process: from now on objc_getClass finds it.
  objc::Class* registerClass() {
    if (cls_ != nullptr) runtime_.objc_registerClassPair(cls_);
    return cls_;
  }

 private:
  template <class Signature>
  void add(objc::Class* target, const objc::Selector<Signature>& sel, typename objc::Selector<Signature>::Imp imp) {
    using Imp = typename objc::Selector<Signature>::Imp;
    runtime_.class_addMethod(target, sel.name, typeid(Signature), std::make_shared<Imp>(std::move(imp)));
  }

  Runtime& runtime_;
  objc::Class* cls_;
};

}  // namespace orvane::platform
