// The extension linked into this program: the loader makes it from its factory.
#include "rig/rig.h"

namespace orvane::rig {

void installExtension(sim::Device& device) { device.installLibrary(std::string(kInstallPath), makeOrvane); }

Orvane* extensionIn(sim::Process& process) {
  for (const auto& library : process.libraries()) {
    if (auto* orvane = dynamic_cast<Orvane*>(library.get())) return orvane;
  }
  return nullptr;
}

}  // namespace orvane::rig
