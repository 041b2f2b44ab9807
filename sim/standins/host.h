// What the platform's stand-in classes need of the simulated process they are loaded into: its
// runtime, its trace, the device's keyboards, files and icons, its alerts and its notification
// centers. The device's process implements it; the stand-ins know nothing else of the device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/services.h"
#include "platform/uikit.h"
#include "sim/trace/trace.h"

namespace orvane::sim {

class FileStore;

// An input mode identifier up to its first "@": its locale, and the name a per-keyboard action
// sends for it.
inline std::string_view identifierPrefix(std::string_view identifier) {
  return identifier.substr(0, identifier.find('@'));
}

// An enabled keyboard as the system lists it.
struct InputMode {
  platform::String identifier;
  platform::String displayName;
};

struct Alert {
  std::string title;
  std::string message;
  std::string button;
  bool dismissed = false;
};

// What AppList holds as an application's icon of one size.
enum class IconKind { kCGImage, kCIImage, kEmpty };

using TraceFields = Trace::Fields;

// The forms of the next-keyboard step that the keyboard's class UIKeyboardImpl implements. The
// public class dumps list the plain step alone up to 793.x and the step with an execution context
// alone above it (docs/device.md); a scenario may give the class either form or both by hand.
struct KeyboardStepForms {
  bool plain = false;
  bool withContext = false;
  bool operator==(const KeyboardStepForms&) const = default;
};
inline KeyboardStepForms keyboardStepFormsOf(double version) {
  return version <= 793.0 ? KeyboardStepForms{true, false} : KeyboardStepForms{false, true};
}
// The first system version of iOS 7 (kCFCoreFoundationVersionNumber_iOS_7_0) and of iOS 8
// (kCFCoreFoundationVersionNumber_iOS_8_0): the releases where SpringBoard's lock screen and the
// preference service changed (docs/device.md).
inline constexpr double kFirstVersionOfIos7 = 847.20;
inline constexpr double kFirstVersionOfIos8 = 1140.10;
// SpringBoard's lock screen is SBLockScreenViewController from iOS 7 on; iOS 6's is SBAwayController.
inline bool hasLockScreenViewController(double version) { return version >= kFirstVersionOfIos7; }
// From iOS 8 on a preference daemon receives each value as it is set; before, each process keeps
// what it sets until it synchronizes.
inline bool preferenceDaemonTakesEachSet(double version) { return version >= kFirstVersionOfIos8; }
// The form the system's own code sends (the globe key's touch, the device's next-keyboard step):
// the one its class implements; where it implements both, the one its version would have.
inline bool systemSendsPlainStep(KeyboardStepForms forms, double version) {
  if (forms.plain != forms.withContext) return forms.plain;
  return keyboardStepFormsOf(version).plain;
}

class Host {
 public:
  virtual ~Host() = default;
  virtual platform::Runtime& runtime() = 0;
  // The system version the process booted with (kCFCoreFoundationVersionNumber).
  virtual double systemVersion() = 0;
  // The forms of the next-keyboard step its keyboard class has, fixed when it booted.
  virtual KeyboardStepForms keyboardStepForms() = 0;
  virtual bool isSpringBoard() const = 0;

  virtual void trace(std::string kind, TraceFields fields = {}) = 0;
  // Whether anyone takes trace events: when not, a caller on a hot path need not build them.
  virtual bool tracing() const = 0;
  // The name the trace gives an object ("UIKeyboardImpl#1"); "nil" for none.
  virtual std::string objectName(const objc::Id& object) = 0;

  // The device's enabled keyboards, and a number that changes whenever they do.
  virtual const std::vector<InputMode>& activeInputModes() const = 0;
  virtual std::uint64_t keyboardsGeneration() const = 0;
  virtual FileStore& files() = 0;
  virtual std::optional<IconKind> appIcon(const std::string& displayIdentifier, int size) const = 0;

  virtual void addAlert(Alert alert) = 0;
  virtual void addLocalObserver(std::string name, platform::NotificationHandler handler) = 0;
  virtual void postLocal(const std::string& name) = 0;
  virtual void addDistributedObserver(std::string name, platform::NotificationHandler handler) = 0;
  virtual void postDistributed(const platform::Notification& notification) = 0;
};

// The root class every stand-in class derives from.
inline objc::Class* nsObject(Host& host) { return host.runtime().objc_getClass("NSObject"); }

}  // namespace orvane::sim
