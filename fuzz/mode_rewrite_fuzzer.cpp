// The settings file as the mode action reads and rewrites it: the file afterwards is either the old
// one or the new one with only "mode" changed; a file that does not read as a dictionary, or a
// disabled extension, leaves the bytes alone.
#include "activator/action_listeners.h"
#include "fuzz/fuzz_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane;
  static fuzz::FuzzDevice f;
  const std::string input(reinterpret_cast<const char*>(data), size);
  f.putFile(kSettingsPath, input);
  const auto before = sim::parsePlist(input);
  sim::fireActivatorEvent(*f.springboard, "net.varnholt.orvane.change-mode");
  const auto after = f.readFile(kSettingsPath);
  if (!after) fuzz::broken("the settings file disappeared");
  const Dictionary* old = before ? before->value.dictionary() : nullptr;
  if (old == nullptr || !boolSetting(*old, kEnabledKey, true)) {
    if (*after != input) fuzz::broken("a file that was not rewritten changed");
    return 0;
  }
  // A rewrite the property-list layer could not carry faithfully is refused: the old file stays.
  if (*after == input) return 0;
  const auto parsed = sim::parsePlist(*after);
  if (!parsed || !parsed->value.dictionary()) fuzz::broken("the rewritten file does not read as a dictionary");
  if (parsed->format != before->format) fuzz::broken("the rewrite changed the file's format");
  Dictionary expected = *old;
  expected.insert_or_assign(std::string(kModeKey), Value(nextSwitchMode(int32Setting(*old, kModeKey, 1))));
  if (*parsed->value.dictionary() != expected) fuzz::broken("a key or value did not survive the rewrite");
  f.device->runUntilIdle(1000);
  return 0;
}
