// Activator in a simulated process: present once its library exists on the device and the process
// has opened it. It keeps the listener registrations and sends events to listeners.
#pragma once

#include <map>
#include <string>

#include "platform/uikit.h"

namespace orvane::sim {

class Process;

class ActivatorObject : public objc::Object {
 public:
  using Object::Object;
  // Listener name to listener, as registered.
  std::map<std::string, objc::Id, std::less<>> listeners;
};

// Adds the LAActivator class to the process.
void loadActivatorClasses(Process& process);

}  // namespace orvane::sim
