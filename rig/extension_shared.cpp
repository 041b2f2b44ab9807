// The extension as the shared object the build made (ORVANE_SHARED_OBJECT), copied to its install
// path on the device; every process's loader maps it from there with the system's dlopen.
#include <stdexcept>

#include "rig/rig.h"

namespace orvane::rig {

void installExtension(sim::Device& device) {
  if (!device.installSharedObject(std::string(kInstallPath), ORVANE_SHARED_OBJECT))
    throw std::runtime_error("cannot install the extension from " + std::string(ORVANE_SHARED_OBJECT));
}

// The extension's objects are the shared object's own: nothing outside it reaches them.
Orvane* extensionIn(sim::Process&) { return nullptr; }

}  // namespace orvane::rig
