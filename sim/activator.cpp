#include "sim/activator.h"

#include "sim/process.h"

namespace orvane::sim {

using objc::Id;
using objc::Sel;
namespace sel = platform::sel;

void loadActivatorClasses(Process& process) {
  objc::Class* cls = process.registerClass(std::make_unique<objc::Class>("LAActivator"));
  auto activator = std::make_shared<ActivatorObject>(cls);
  cls->addClassMethod(sel::sharedInstance, [activator](const Id&, Sel) -> Id { return activator; });
  cls->addMethod(sel::registerListener, [&process, activator](const Id&, Sel, Id listener, std::string name) {
    process.trace("activator-register",
                  {{"name", name}, {"listener", listener ? listener->isa()->name() : std::string("nil")}});
    activator->listeners.insert_or_assign(std::move(name), std::move(listener));
  });
  cls->addMethod(sel::unregisterListener, [&process, activator](const Id&, Sel, std::string name) {
    process.trace("activator-unregister", {{"name", name}});
    activator->listeners.erase(name);
  });
  cls->addMethod(sel::isRunningInsideSpringBoard, [&process](const Id&, Sel) { return process.isSpringBoard(); });
}

}  // namespace orvane::sim
