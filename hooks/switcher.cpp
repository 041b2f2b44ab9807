// Mode 2 leaves the selected keyboards out of the globe key's switcher menu.
#include <algorithm>

#include "hooks/keyboard_set.h"
#include "hooks/replacements.h"

namespace orvane {

StringList Replacements::replaced_inputModes(const Id& self, Sel cmd) {
  if (!guards_.isConfigured()) return saved_.inputModes(self, cmd);
  settings_.reloadSettings();
  if (!settings_.cache().enabled || settings_.cache().mode != kLeaveSelectedOutOfSwitcher) {
    return saved_.inputModes(self, cmd);
  }

  std::vector<std::string> list;
  if (storedSwitcherList_) {
    // This system's switcher is built from the stored list; the system's implementation is not asked.
    // Only its strings: the switcher takes each element for an input mode's identifier and sends it
    // a string's messages, which a number or a dictionary does not answer.
    list = stringElements(platform_.preferences.CFPreferencesCopyAppValue(platform::names::kAppleKeyboardsKey,
                                                                          platform::names::kGlobalPreferencesDomain));
  } else if (StringList system = saved_.inputModes(self, cmd)) {
    list = std::move(*system);
  }
  // Every occurrence of a selected identifier goes; the rest keep their order.
  if (const auto& selected = settings_.keyboards()) {
    const KeyboardSet chosen(*selected);
    std::erase_if(list, [&chosen](const std::string& identifier) { return chosen.contains(identifier); });
  }
  return list;
}

}  // namespace orvane
