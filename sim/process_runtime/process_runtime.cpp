#include "sim/process_runtime/process_runtime.h"

#include <utility>

#include "platform/uikit.h"

namespace orvane::sim {

using objc::Class;
using objc::Id;
using objc::Sel;
using platform::HookResult;
using platform::HookStatus;
namespace sel = platform::sel;

void ProcessRuntime::defineFunction(std::string_view symbol, const std::type_info& signature,
                                    std::shared_ptr<void> imp) {
  functions_.insert_or_assign(std::string(symbol), Function{&signature, std::move(imp)});
}

const void* ProcessRuntime::function(std::string_view symbol, const std::type_info& signature) const {
  auto it = functions_.find(symbol);
  if (it == functions_.end()) return nullptr;
  if (*it->second.signature != signature) objc::fatal("signature mismatch", symbol);
  return it->second.imp.get();
}

HookResult ProcessRuntime::hookFunction(std::string_view symbol, const std::type_info& signature,
                                        std::shared_ptr<void> replacement) {
  auto it = functions_.find(symbol);
  if (it == functions_.end()) return {HookStatus::kNoSuchFunction, nullptr};
  if (*it->second.signature != signature) return {HookStatus::kWrongSignature, nullptr};
  const HookStatus status = it->second.hooks++ == 0 ? HookStatus::kInstalled : HookStatus::kAlreadyReplaced;
  return {status, std::exchange(it->second.imp, std::move(replacement))};
}

void ProcessRuntime::defineRootClass(Class* root) {
  Class* rootMeta = objc::objc_getMetaClass(root);
  auto define = [this](Class* cls, const auto& selector, auto imp) {
    using Selector = std::decay_t<decltype(selector)>;
    class_addMethod(cls, selector.name, typeid(typename Selector::Signature),
                    std::make_shared<typename Selector::Imp>(std::move(imp)));
  };
  // +alloc and +new make an instance of the class the message was sent to.
  define(rootMeta, sel::alloc,
         [](const Id& self, Sel) { return objc::class_createInstance(reinterpret_cast<Class*>(self.get())); });
  define(rootMeta, sel::new_, [](const Id& self, Sel) { return objc::send(objc::send(self, sel::alloc), sel::init); });
  define(root, sel::init, [](const Id& self, Sel) { return self; });
  define(root, sel::autorelease, [](const Id& self, Sel) { return self; });
  define(root, sel::dealloc, [](const Id&, Sel) {});
  objc_registerClassPair(root);
}

}  // namespace orvane::sim
