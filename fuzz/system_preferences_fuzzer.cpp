// The system preferences file as the auto-correction action reads and rewrites it (the file path,
// below version 1140.1): only "KeyboardAutocorrection" changes, as the device and libplist read it.
#include "fuzz_device.h"
#include "independent_reading.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane;
  static fuzz::FuzzDevice f(1140.0);
  static bool configured = (f.putFile(kSettingsPath, "<plist><dict/></plist>"), true);
  (void)configured;
  constexpr std::string_view kPath = "/var/mobile/Library/Preferences/com.apple.Preferences.plist";
  const std::string input(reinterpret_cast<const char*>(data), size);
  f.putFile(kPath, input);
  const auto before = sim::parsePlist(input);
  f.springboard->fireActivatorEvent("net.varnholt.orvane.change-autocorrection");
  const auto after = f.readFile(kPath);
  if (!after) fuzz::broken("the system preferences file disappeared");
  const Dictionary* old = before ? before->value.dictionary() : nullptr;
  if (old == nullptr) {
    if (*after != input) fuzz::broken("a file that does not read as a dictionary was replaced");
    return 0;
  }
  fuzz::checkRewrite(input, *after, "KeyboardAutocorrection", Value(!boolSetting(*old, "KeyboardAutocorrection", true)),
                     sim::PlistFormat::kXml);
  f.device->runUntilIdle(1000);
  return 0;
}
