// Whether the extension is configured, and the one-time notices that say why not. Whether a notice
// was shown is remembered by a marker in its own preference domain, across processes and restarts.
#pragma once

#include <string_view>

#include "platform/services.h"
#include "settings/settings.h"

namespace orvane {

inline constexpr std::string_view kWarnsDomain = "net.varnholt.orvane-warns";
inline constexpr std::string_view kNotConfiguredMarker = "config1-Warn";
inline constexpr std::string_view kNoKeyboardMarker = "config2-Warn";
inline constexpr std::string_view kWelcomeMarker = "release1-HasRun";

class Guards {
 public:
  Guards(const platform::Platform& platform, objc::Class* alertView, const Settings& settings)
      : platform_(platform), alertView_(alertView), settings_(settings) {}

  // Asked first by the keyboard replacements: the settings file exists and the last reload found a
  // selected keyboard. An empty selection is let through once its notice has been recorded.
  bool isConfigured();
  // Asked first by the Activator actions: the settings file exists.
  bool isSettingsFilePresent();
  // After an unlock has completed: the welcome notice, once for the life of its marker.
  void welcomeAfterUnlock();

 private:
  // A marker is set when its key holds any value at all, a stored false included.
  bool isMarkerSet(std::string_view marker);
  // Shows the notice, then records that it was shown.
  void notifyOnce(std::string_view message, std::string_view button, std::string_view marker);

  platform::Platform platform_;
  objc::Class* alertView_;
  const Settings& settings_;
};

}  // namespace orvane
