#include "settings/settings.h"

#include <algorithm>

#include "platform/input_modes.h"

namespace orvane {

using platform::String;

Dictionary readSettingsFile(platform::Files& files) {
  return files.dictionaryWithContentsOfFile(kSettingsPath).value_or(Dictionary{});
}

void Settings::reloadSettings() {
  const Dictionary file = readSettingsFile(platform_.files);
  cache_.enabled = isEnabled(file);
  cache_.mode = switchModeOf(file);
  cache_.icon = labelStyleOf(file);

  // Elements that are not strings name no input mode, so they could never survive the filter.
  std::vector<std::string> selected = stringElements(find(file, kSelectedKeyboardsKey));

  // Drop every selected identifier that is not an active input mode, all of its occurrences; the
  // active list is fetched anew for each element, as it may change under us.
  std::erase_if(selected, [this](const std::string& identifier) { return !isActive(identifier); });
  keyboards_ = std::move(selected);
}

bool Settings::isActive(const std::string& identifier) const {
  for (const String& active : activeModes_.fetch()) {
    if (platform::isEqualToString(active, identifier)) return true;
  }
  return false;
}

}  // namespace orvane
