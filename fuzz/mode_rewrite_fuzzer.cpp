// The settings file as the mode action reads and rewrites it: the file afterwards is the old one
// with only "mode" changed, written as XML, as the device and libplist both read it; a file that does
// not read as a dictionary, or a disabled extension, leaves the bytes alone.
#include "activator/action_listeners.h"
#include "fuzz_device.h"
#include "independent_reading.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane;
  static fuzz::FuzzDevice f;
  const std::string input(reinterpret_cast<const char*>(data), size);
  f.putFile(kSettingsPath, input);
  const auto before = sim::parsePlist(input);
  f.springboard->fireActivatorEvent("net.varnholt.orvane.change-mode");
  const auto after = f.readFile(kSettingsPath);
  if (!after) fuzz::broken("the settings file disappeared");
  const Dictionary* old = before ? before->value.dictionary() : nullptr;
  if (old == nullptr || !isEnabled(*old)) {
    if (*after != input) fuzz::broken("a file that was not rewritten changed");
    return 0;
  }
  // The rewrite is XML, as writeToFile:atomically: writes: an unchanged file where "mode" changed
  // and XML could carry the file is a lost rewrite, and the oracle catches it.
  fuzz::checkRewrite(input, *after, kModeKey, Value(nextSwitchMode(switchModeOf(*old))), sim::PlistFormat::kXml);
  f.device->runUntilIdle(1000);
  return 0;
}
