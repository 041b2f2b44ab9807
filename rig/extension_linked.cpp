// The extension linked into this program: the loader makes it from its factory.
#include "rig/rig.h"

namespace orvane::rig {

void installExtension(sim::Device& device) { device.installLibrary(std::string(kInstallPath), makeOrvane); }

Orvane* extensionIn(sim::Process& process) {
  const sim::LocalProcess* local = process.local();
  if (local == nullptr) return nullptr;  // in an OS process of its own: not this program's to reach
  for (const auto& library : local->libraries()) {
    if (auto* orvane = dynamic_cast<Orvane*>(library.get())) return orvane;
  }
  return nullptr;
}

}  // namespace orvane::rig
