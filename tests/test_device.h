// Builds a simulated device with the extension installed in a few lines, for tests.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/scenario.h"
#include "hooks/orvane.h"
#include "sim/device.h"

namespace orvane::testing {

class TestDevice {
 public:
  TestDevice();

  sim::Device& device() { return *device_; }
  sim::Process& start(std::string_view bundleIdentifier) { return device_->start(bundleIdentifier); }
  sim::Process& process(std::string_view bundleIdentifier);

  void keyboards(const std::vector<std::string>& identifiers) { device_->setKeyboards(identifiers); }
  void writeSettings(const Dictionary& settings, sim::PlistFormat format = sim::PlistFormat::kBinary);
  void writeSettingsBytes(std::string_view bytes);
  void deleteSettings();

  // The extension as loaded into a process.
  Orvane& extension(std::string_view bundleIdentifier);

  // The trace events of one kind, as text, in order.
  std::vector<std::string> events(std::string_view kind) const;
  // Runs a scenario script on this device; returns its exit status, failures go to `errors`.
  int runScript(const std::string& script, std::string* errors = nullptr);

 private:
  cli::TemporaryRoot root_;
  std::unique_ptr<sim::Device> device_;
};

}  // namespace orvane::testing
