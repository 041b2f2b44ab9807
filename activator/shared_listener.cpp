#include "activator/shared_listener.h"

namespace orvane {

using objc::Id;
using objc::Sel;
namespace sel = platform::sel;

objc::Class* addListenerClass(platform::Runtime& runtime, std::string name) {
  objc::Class* cls = runtime.registerClass(std::make_unique<objc::Class>(std::move(name)));
  cls->addClassMethod(sel::alloc, [cls](const Id&, Sel) -> Id { return std::make_shared<ListenerObject>(cls); });
  cls->addClassMethod(sel::new_,
                      [cls](const Id&, Sel) { return objc::send(objc::sendClass(cls, sel::alloc), sel::init); });
  cls->addMethod(sel::init, [](const Id& self, Sel) { return self; });
  // The shared instance lives in the class, one per process; the main thread is the only caller,
  // so creating it on the first request is the once-only initialisation.
  auto shared = std::make_shared<Id>();
  cls->addClassMethod(sel::sharedListener, [cls, shared](const Id&, Sel) {
    if (!*shared) *shared = objc::send(objc::sendClass(cls, sel::alloc), sel::init);
    return *shared;
  });
  return cls;
}

void postDistributed(ClassReference& center, std::string_view name, std::optional<Dictionary> userInfo) {
  objc::send(objc::sendClass(center.get(), sel::defaultCenter), sel::postNotification, std::string(name), Id{},
             std::move(userInfo));
}

}  // namespace orvane
