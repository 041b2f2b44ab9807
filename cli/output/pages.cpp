#include "cli/output/pages.h"

#include "platform/uikit.h"
#include "settings/settings.h"
#include "sim/trace/trace.h"

namespace orvane::cli::pages {

std::string deviceScript() {
  const std::pair<std::string_view, std::string_view> names[] = {
      {"globeKey", platform::names::kGlobeKeyName},
      {"keyboardWillShow", platform::names::kUIKeyboardWillShowNotification},
      {"keyboardWillHide", platform::names::kUIKeyboardWillHideNotification},
      {"settingsFile", kSettingsPath},
      {"prefsChanged", kPrefsChangedNotification},
  };
  std::string out = "const NAMES = {";
  for (const auto& [name, value] : names) out.append(name).append(": ").append(sim::jsonString(value)).append(", ");
  out.replace(out.size() - 2, 2, "};\n");
  return out + std::string(kDeviceScript);
}

std::string fill(std::string_view page, const std::vector<std::pair<std::string_view, std::string>>& parts) {
  std::string out;
  out.reserve(page.size());
  std::size_t at = 0;
  for (const auto& [marker, part] : parts) {
    const std::size_t found = page.find(marker, at);
    if (found == std::string_view::npos) continue;  // a page without that marker takes nothing there
    out.append(page.substr(at, found - at)).append(part);
    at = found + marker.size();
  }
  return out.append(page.substr(at));
}

}  // namespace orvane::cli::pages
