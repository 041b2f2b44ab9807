// The settings file as the keyboard hooks, the guards and the agent read it.
#include <algorithm>

#include "fuzz_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane;
  static fuzz::FuzzDevice f;
  f.putFile(kSettingsPath, std::string_view(reinterpret_cast<const char*>(data), size));
  Orvane& extension = *rig::extensionIn(*f.app);
  extension.settings().reloadSettings();
  // Every kept identifier names an active input mode.
  for (const std::string& id : *extension.settings().keyboards()) {
    const auto& modes = f.device->activeInputModes();
    if (std::none_of(modes.begin(), modes.end(), [&](const sim::InputMode& m) { return m.identifier == id; })) {
      fuzz::broken("a selected keyboard that is not active survived the reload");
    }
  }
  extension.guards().isConfigured();
  extension.guards().isSettingsFilePresent();
  f.app->tapKey(sim::kGlobeKeyName);
  f.app->tapKey("q");
  f.app->askLabel(sim::kGlobeKeyName);
  f.app->askSwitcherList();
  f.app->hideKeyboard();
  f.app->showKeyboard();
  if (!f.device->runUntilIdle(1000).idle) fuzz::broken("the main queues did not come to rest");
  return 0;
}
