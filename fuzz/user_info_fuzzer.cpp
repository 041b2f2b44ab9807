// The user info of the three distributed commands, as every agent receives it. The input is a
// property list; whatever it holds, the agents neither crash nor switch to an inactive keyboard.
#include "agent/global_function.h"
#include "fuzz_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvane;
  static fuzz::FuzzDevice f;
  const auto parsed = sim::parsePlist(std::string_view(reinterpret_cast<const char*>(data), size));
  std::optional<Dictionary> userInfo;
  if (parsed && parsed->value.dictionary()) userInfo = *parsed->value.dictionary();
  for (std::string_view name :
       {kCloseKeyboardMenuNotification, kChangeKeyboardNotification, kChangeToSpecificKeyboardNotification}) {
    f.device->postDistributed(*f.springboard, platform::Notification{std::string(name), userInfo});
  }
  if (!f.device->runUntilIdle(1000).idle) fuzz::broken("the main queues did not come to rest");
  const auto current = f.app->currentInputMode();
  const auto& modes = f.device->activeInputModes();
  if (!current ||
      std::none_of(modes.begin(), modes.end(), [&](const sim::InputMode& m) { return m.identifier == current; })) {
    fuzz::broken("the keyboard ended on an input mode that is not active");
  }
  return 0;
}
