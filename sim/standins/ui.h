// The user-interface side of a simulated process: the keyboard classes and objects, alerts and the
// notification centers, all reached through the process's runtime.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/uikit.h"

namespace orvane::sim {

class Host;

// iOS 6's SBAwayController completes an unlock here (public iOS 6 SpringBoard class dumps); the
// extension knows nothing of it.
inline constexpr objc::Selector<void(bool sound, int source, bool isAutoUnlock)> kFinishUnlockWithSound{
    "_finishUnlockWithSound:unlockSource:isAutoUnlock:"};

struct Ui {
  objc::Id keyboardImpl;
  objc::Id autocorrectionController;
  objc::Id switcherView;
  objc::Id inputSwitcher;
  objc::Id layout;
  objc::Id lockScreen;  // SpringBoard only
  objc::Id localCenter;
  objc::Id distributedCenter;
  std::vector<objc::Id> keys;
  std::optional<std::string> currentInputMode;
  // The active input modes as one immutable array, rebuilt when the device's keyboards change; and
  // the object of a current mode that is no longer active.
  platform::ObjectList activeModes;
  std::uint64_t activeModesGeneration = ~std::uint64_t{0};
  objc::Id inactiveCurrentMode;
  // The active mode `currentInputMode` answered last, and the keyboards' generation it was found in.
  objc::Id currentModeObject;
  std::uint64_t currentModeGeneration = ~std::uint64_t{0};
  bool keyboardShown = false;
  // The switcher menu is on screen: from a long press on the globe key until a choice, `hideSwitcher`
  // or the keyboard going.
  bool switcherShown = false;
  int contextsCreated = 0;
  // How often the system's own switcher list was built.
  int systemSwitcherLists = 0;
  std::vector<objc::Id> openContexts;
};

// The names of the keyboard's keys (UIKBTree `name`): one row of letters, the globe key and the
// space bar.
const std::vector<std::string>& keyboardKeyNames();

// Adds the platform's classes to a starting process and creates its objects.
void buildUi(Host& host, Ui& ui);
// SpringBoard's lock screen class, the one its system has, and its object in `ui.lockScreen`.
void addLockScreenClass(Host& host, Ui& ui);
// The process's layout key of that name, or nothing.
std::optional<platform::Point> keyCenter(const Ui& ui, std::string_view name);
// A switch of input mode rebuilds the keyboard's keys: overrides set on the old ones are gone.
void rebuildKeys(Ui& ui);
// The layout's key of that name, or nil.
objc::Id keyNamed(const Ui& ui, std::string_view name);
// Reports, and forgets, the execution contexts that were handed out and never finished.
void reportUnfinishedContexts(Host& host, Ui& ui);
// A new execution context for one keyboard task.
objc::Id makeExecutionContext(Host& host, Ui& ui);
// The keyboard object `keyboard` was asked to switch to `value` (how: "setInputMode:" or "next-step"):
// an active identifier exactly, else the first active mode of that locale; traced either way.
void setInputModeFromKeyboard(Host& host, Ui& ui, const objc::Id& keyboard, const platform::String& value,
                              std::string_view how);
// A touch on the layout at a point.
objc::Id makeTouch(Host& host, const Ui& ui, platform::Point point);

}  // namespace orvane::sim
