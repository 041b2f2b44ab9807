// The extension as a shared object, copied to its install path on the device; every process's
// loader maps it from there with the system's dlopen. A program run where the build made it takes
// the object the build made (ORVANE_SHARED_OBJECT); an installed one, the object installed with it
// (ORVANE_INSTALLED_SHARED_OBJECT, relative to the program's folder).
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "rig/rig.h"

namespace orvane::rig {

namespace {
std::filesystem::path sharedObject() {
#ifdef ORVANE_INSTALLED_SHARED_OBJECT
  std::error_code ec;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec && program != std::filesystem::path(ORVANE_BUILT_PROGRAM)) {
    return (program.parent_path() / ORVANE_INSTALLED_SHARED_OBJECT).lexically_normal();
  }
#endif
  return ORVANE_SHARED_OBJECT;
}
}  // namespace

void installExtension(sim::Device& device) {
  const auto file = sharedObject();
  if (!device.installSharedObject(std::string(kInstallPath), file))
    throw std::runtime_error("cannot install the extension from " + file.string());
}

// The extension's objects are the shared object's own: nothing outside it reaches them.
Orvane* extensionIn(sim::Process&) { return nullptr; }

}  // namespace orvane::rig
