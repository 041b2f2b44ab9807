// SpringBoard's lock screen, as the public SpringBoard class dumps show it: from iOS 7 on
// SBLockScreenViewController, whose unlock completes in finishUIUnlockFromSource:; on iOS 6
// SBAwayController, whose unlock completes in _finishUnlockWithSound:unlockSource:isAutoUnlock:.
#include "platform/class_definition.h"
#include "sim/standins/host.h"
#include "sim/standins/ui.h"

namespace orvane::sim {

using objc::Id;
using objc::Sel;

void addLockScreenClass(Host& host, Ui& ui) {
  const auto unlocked = [&host](int source) { host.trace("unlocked", {{"source", std::to_string(source)}}); };
  const bool ios7OrLater = hasLockScreenViewController(host.systemVersion());
  const char* name = ios7OrLater ? "SBLockScreenViewController" : "SBAwayController";
  platform::ClassDefinition definition(host.runtime(), nsObject(host), name);
  if (ios7OrLater) {
    definition.method(platform::sel::finishUIUnlockFromSource,
                      [unlocked](const Id&, Sel, int source) { unlocked(source); });
  } else {
    definition.method(kFinishUnlockWithSound, [unlocked](const Id&, Sel, bool, int source, bool) { unlocked(source); });
  }
  definition.registerClass();
  ui.lockScreen = objc::class_createInstance(host.runtime().objc_getClass(name));
}

}  // namespace orvane::sim
