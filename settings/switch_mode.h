// The switching modes and the globe key's label styles, with their defaults: the one place that says
// what the numbers stored in "mode" and "icon" mean. Adding a mode starts here.
#pragma once

#include <cstdint>

#include "platform/value.h"

namespace orvane {

inline constexpr std::string_view kEnabledKey = "enabled";
inline constexpr std::string_view kModeKey = "mode";
inline constexpr std::string_view kIconKey = "icon";

// The "mode" setting. Any value other than these three changes nothing: the keyboard behaves as the
// system's own.
using SwitchMode = std::int32_t;
inline constexpr SwitchMode kStepThroughSelected = 1;         // a tap steps through the selected keyboards
inline constexpr SwitchMode kLeaveSelectedOutOfSwitcher = 2;  // the switcher menu lists the others only
inline constexpr SwitchMode kSilentGlobeKey = 3;              // a tap on the globe key does nothing
inline constexpr SwitchMode kDefaultSwitchMode = kStepThroughSelected;

// The "icon" setting. Any other value labels the key as the system does.
using GlobeLabelStyle = std::int32_t;
inline constexpr GlobeLabelStyle kSystemLabel = 1;
inline constexpr GlobeLabelStyle kAlwaysEmoji = 2;
inline constexpr GlobeLabelStyle kEmojiWhenNextIsEmoji = 3;  // "emoji" when a tap would switch to it
inline constexpr GlobeLabelStyle kDefaultLabelStyle = kSystemLabel;

// The mode action's cycle: 1 to 2, 2 to 3, 3 to 1; any other value stays as it is.
inline SwitchMode nextSwitchMode(SwitchMode mode) {
  switch (mode) {
    case kStepThroughSelected:
      return kLeaveSelectedOutOfSwitcher;
    case kLeaveSelectedOutOfSwitcher:
      return kSilentGlobeKey;
    case kSilentGlobeKey:
      return kStepThroughSelected;
    default:
      return mode;
  }
}

// What the settings say, each read as the platform reads it, absent (or of a type with no reading)
// taking its default: "enabled" counts as true, so the mode action steps an absent "mode" to 2.
inline bool isEnabled(const Dictionary& settings) { return boolSetting(settings, kEnabledKey, true); }
inline SwitchMode switchModeOf(const Dictionary& settings) {
  return int32Setting(settings, kModeKey, kDefaultSwitchMode);
}
inline GlobeLabelStyle labelStyleOf(const Dictionary& settings) {
  return int32Setting(settings, kIconKey, kDefaultLabelStyle);
}

}  // namespace orvane
