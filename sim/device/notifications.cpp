// A process's notifications: the Darwin center it observes and posts to, notify_post on the same
// bus, and GraphicsServices' preference-change message. On the phone these are CoreFoundation's
// CFNotificationCenterGetDarwinNotifyCenter with CFNotificationCenterAddObserver and
// CFNotificationCenterPostNotification, libnotify's notify_post, and GSSendAppPreferencesChanged.
#include <functional>
#include <string>

#include "sim/device/device.h"
#include "sim/device/process.h"

namespace orvane::sim {

void LocalProcess::CFNotificationCenterAddObserver(std::string_view name,
                                                   std::function<void(std::string_view)> callback, int) {
  trace("darwin-observe", {{"name", std::string(name)}});
  device_.observing(true, std::string(name));
  darwinObservers_.emplace_back(std::string(name), std::move(callback));
}

void LocalProcess::CFNotificationCenterPostNotification(std::string_view name, bool) { postDarwin(std::string(name)); }

void LocalProcess::notify_post(std::string_view name) {
  trace("notify-post", {{"name", std::string(name)}});
  device_.postDarwin(std::string(name), this);
}

void LocalProcess::GSSendAppPreferencesChanged(std::string_view app, std::string_view key) {
  trace("gs-prefs-changed", {{"domain", std::string(app)}, {"key", std::string(key)}});
}

}  // namespace orvane::sim
