// The settings file and the process-wide cache the keyboard hooks act on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/input_modes.h"
#include "platform/services.h"
#include "settings/switch_mode.h"

namespace orvane {

inline constexpr std::string_view kSettingsPath = "/var/mobile/Library/Preferences/net.varnholt.orvane.plist";
inline constexpr std::string_view kPrefsChangedNotification = "net.varnholt.orvane/prefsChanged";

inline constexpr std::string_view kDefaultKeyboardKey = "DefaultKeyboard";
inline constexpr std::string_view kSelectedKeyboardsKey = "SelectedKeyboards";

struct SettingsCache {
  bool enabled = false;
  SwitchMode mode = 0;
  GlobeLabelStyle icon = 0;
};

// Reads the settings file as a dictionary; missing, unreadable or not a dictionary reads as empty.
Dictionary readSettingsFile(platform::Files& files);

class Settings {
 public:
  // `activeModes` reads the process's active input modes.
  Settings(const platform::Platform& platform, platform::ActiveIdentifiers& activeModes)
      : platform_(platform), activeModes_(activeModes) {}

  // Rereads the file into the cache and rebuilds `keyboards`: the selected identifiers that name an
  // active input mode, in the file's order, duplicates kept.
  void reloadSettings();

  const SettingsCache& cache() const { return cache_; }
  // Nothing before the first reload; from then on always a list, possibly empty.
  const std::optional<std::vector<std::string>>& keyboards() const { return keyboards_; }
  // [keyboards count]: 0 while there is no list.
  std::size_t keyboardCount() const { return keyboards_ ? keyboards_->size() : 0; }

 private:
  bool isActive(const std::string& identifier) const;

  platform::Platform platform_;
  platform::ActiveIdentifiers& activeModes_;
  SettingsCache cache_;
  std::optional<std::vector<std::string>> keyboards_;
};

}  // namespace orvane
