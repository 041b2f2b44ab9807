#include "tests/test_device.h"

#include <sstream>
#include <stdexcept>

#include "settings/settings.h"
#include "sim/plist_io.h"

namespace orvane::testing {

TestDevice::TestDevice() : device_(cli::makeDevice(root_.path())) {}

sim::Process& TestDevice::process(std::string_view bundleIdentifier) {
  sim::Process* p = device_->find(bundleIdentifier);
  if (p == nullptr) throw std::logic_error("no such process");
  return *p;
}

void TestDevice::writeSettings(const Dictionary& settings, sim::PlistFormat format) {
  writeSettingsBytes(sim::serializePlist(Value(settings), format).value());
}

void TestDevice::writeSettingsBytes(std::string_view bytes) {
  if (!device_->files().writeAtomically(kSettingsPath, bytes)) throw std::runtime_error("cannot write settings");
}

void TestDevice::deleteSettings() { device_->files().remove(kSettingsPath); }

Orvane& TestDevice::extension(std::string_view bundleIdentifier) {
  for (const auto& library : process(bundleIdentifier).libraries()) {
    if (auto* orvane = dynamic_cast<Orvane*>(library.get())) return *orvane;
  }
  throw std::logic_error("the extension is not loaded there");
}

std::vector<std::string> TestDevice::events(std::string_view kind) const {
  std::vector<std::string> out;
  for (const auto& e : device_->trace().events()) {
    if (e.kind == kind) out.push_back(sim::Trace::text(e));
  }
  return out;
}

int TestDevice::runScript(const std::string& script, std::string* errors) {
  std::ostringstream out;
  std::ostringstream err;
  cli::ScenarioRunner runner(*device_, out, err, cli::TraceFormat::kNone);
  std::istringstream in(script);
  const int status = runner.runScript(in, "test");
  if (errors != nullptr) *errors = err.str();
  return status;
}

}  // namespace orvane::testing
