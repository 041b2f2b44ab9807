// The message send's lookup on libobjc: objc_msg_lookup and class_getMethodImplementation find the
// IMP, which names the closure the method was defined with. On the phone, objc_msgSend and
// class_getMethodImplementation of the platform's runtime do this.
#include <typeinfo>

#include "runtime_state.h"

namespace orvane::sim::gnu {
namespace {

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

}  // namespace
}  // namespace orvane::sim::gnu

namespace orvane::objc {

using sim::gnu::real;

const void* msgLookup(const Object& receiver, Sel name, const std::type_info& signature) {
  return sim::gnu::sendTarget(receiver, name, signature);
}

const void* msgSendLookup(const Object& receiver, Sel name, const std::type_info& signature) {
  const void* imp = sim::gnu::sendTarget(receiver, name, signature);
  if (imp == nullptr) [[unlikely]]
    fatal("unrecognized selector", name);
  return imp;
}

const void* classLookup(const Class* cls, Sel name, const std::type_info& signature) {
  if (cls == nullptr) return nullptr;
  return sim::gnu::closureOf(class_getMethodImplementation(real(cls), sim::gnu::selector(name)), name, signature);
}

}  // namespace orvane::objc
