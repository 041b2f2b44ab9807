#include "rig/rig.h"

#include <cstdlib>
#include <stdexcept>

#include "settings/settings.h"

namespace orvane::rig {

std::filesystem::path temporaryFolder() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr && *tmpdir != '\0' ? std::filesystem::path(tmpdir) : std::filesystem::path("/tmp");
}

TemporaryRoot::TemporaryRoot() {
  std::string pattern = (temporaryFolder() / "orvane-device-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
  path_ = pattern;
}

TemporaryRoot::~TemporaryRoot() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::unique_ptr<sim::Device> makeDevice(const std::filesystem::path& root, sim::Storage storage) {
  auto device = std::make_unique<sim::Device>(root, storage);
  installExtension(*device);
  return device;
}

Rig::Rig(bool withExtension, sim::Storage storage)
    : device_(withExtension ? makeDevice(root_.path(), storage)
                            : std::make_unique<sim::Device>(root_.path(), storage)) {}

sim::LocalProcess& Rig::start(std::string_view bundleIdentifier) {
  sim::LocalProcess* p = device_->start(bundleIdentifier).local();
  if (p == nullptr) throw std::logic_error("a rig's processes run in this OS process");
  return *p;
}

sim::LocalProcess& Rig::process(std::string_view bundleIdentifier) {
  sim::Process* p = device_->find(bundleIdentifier);
  if (p == nullptr || p->local() == nullptr) throw std::logic_error("no such process");
  return *p->local();
}

Orvane& Rig::extension(std::string_view bundleIdentifier) {
  Orvane* orvane = extensionIn(process(bundleIdentifier));
  if (orvane == nullptr) throw std::logic_error("the extension is not loaded there");
  return *orvane;
}

void Rig::keyboards(const std::vector<std::string>& identifiers) {
  if (!device_->setKeyboards(identifiers)) throw std::runtime_error("cannot set the keyboards");
}

void Rig::writeSettings(const Dictionary& settings, sim::PlistFormat format) {
  writeSettingsBytes(sim::serializePlist(Value(settings), format).value());
}

void Rig::writeSettingsBytes(std::string_view bytes) {
  if (!device_->files().writeAtomically(kSettingsPath, bytes)) throw std::runtime_error("cannot write settings");
}

void Rig::deleteSettings() { device_->files().remove(kSettingsPath); }

std::vector<std::string> Rig::events(std::string_view kind) const {
  std::vector<std::string> out;
  for (const auto& e : device_->trace().events()) {
    if (e.kind == kind) out.push_back(sim::Trace::text(e));
  }
  return out;
}

}  // namespace orvane::rig
