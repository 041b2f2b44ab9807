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

  // Keep, in the file's order, every selected identifier that names an active input mode, all of its
  // occurrences; the active list is fetched anew for each element, as it may change under us.
  // Elements that are not strings name no input mode, so they never survive.
  std::vector<std::string> selected;
  const Value* stored = find(file, kSelectedKeyboardsKey);
  if (const Array* list = stored ? stored->array() : nullptr) {
    selected.reserve(list->size());
    for (const Value& element : *list) {
      if (const std::string* identifier = element.string(); identifier && isActive(*identifier)) {
        selected.push_back(*identifier);
      }
    }
  }
  keyboards_ = std::move(selected);
}

bool Settings::isActive(const std::string& identifier) const { return activeModes_.fetchAndContain(identifier); }

}  // namespace orvane
