#include "activator/shared_listener.h"

namespace orvane {

using objc::Id;
using objc::Sel;
namespace sel = platform::sel;

std::unique_ptr<platform::ClassDefinition> defineListenerClass(platform::Runtime& runtime, std::string_view name) {
  auto cls = std::make_unique<platform::ClassDefinition>(runtime, runtime.objc_getClass("NSObject"), name);
  cls->protocol("LAListener");
  // The shared instance lives in the class, one per process; the main thread is the only caller,
  // so creating it on the first request is the once-only initialisation.
  auto shared = std::make_shared<Id>();
  cls->classMethod(sel::sharedListener, [shared](const Id& self, Sel) {
    if (!*shared) *shared = objc::send(objc::send(self, sel::alloc), sel::init);
    return *shared;
  });
  return cls;
}

void postDistributed(ClassReference& center, std::string_view name, std::optional<Dictionary> userInfo) {
  objc::send(objc::sendClass(center.get(), sel::defaultCenter), sel::postNotification, std::string(name), Id{},
             std::move(userInfo));
}

}  // namespace orvane
