// The extension's replacements of the system's methods, with the implementations they replaced.
// One instance per process, owned by the extension's start-up, which installs them.
#pragma once

#include <string>

#include "hooks/cycling.h"
#include "platform/input_modes.h"
#include "platform/services.h"
#include "platform/uikit.h"
#include "settings/guards.h"
#include "settings/settings.h"

namespace orvane {

using objc::Id;
using objc::Sel;
using platform::String;
using platform::StringList;

class Replacements {
 public:
  // `plainStep`: whether this system's keyboard takes the plain next-keyboard step;
  // `storedSwitcherList`: whether its switcher menu is built from "AppleKeyboards" (793.0).
  Replacements(const platform::Platform& platform, Settings& settings, Guards& guards,
               platform::ActiveIdentifiers& activeModes, objc::Class* textInputMode, objc::Class* alertView,
               bool plainStep, bool storedSwitcherList);
  Replacements(const Replacements&) = delete;
  Replacements& operator=(const Replacements&) = delete;

  // Hooks every method below, in this order: the switcher list, the key's label, the layout's
  // touch-up, the lock screen's unlock, and the next-keyboard step of this system's form.
  void install();

  // Each keeps the system's implementation in its saved slot.
  StringList replaced_inputModes(const Id& self, Sel cmd);
  String replaced_displayString(const Id& self, Sel cmd);
  void replaced_touchUp(const Id& self, Sel cmd, const Id& touch);
  void replaced_finishUIUnlockFromSource(const Id& self, Sel cmd, int source);
  void replaced_setInputModeToNextInPreferredList(const Id& self, Sel cmd);
  void replaced_setInputModeToNextInPreferredListWithExecutionContext(const Id& self, Sel cmd, const Id& context);

  KeyboardCycler& cycler() { return cycler_; }

 private:
  // The two next-keyboard replacements' shared body: true when it acted in place of the system.
  bool stepThroughSelected(const Id& keyboardImpl, const Id* context);
  // The identifier of the keyboard a globe tap would switch to, as the label sees it; nothing when
  // there is none to look at.
  String nextKeyboardForLabel();

  struct Saved {
    decltype(platform::sel::inputModes)::Imp inputModes;
    decltype(platform::sel::displayString)::Imp displayString;
    decltype(platform::sel::touchUp)::Imp touchUp;
    decltype(platform::sel::finishUIUnlockFromSource)::Imp finishUIUnlockFromSource;
    decltype(platform::sel::setInputModeToNextInPreferredList)::Imp setInputModeToNextInPreferredList;
    decltype(platform::sel::setInputModeToNextInPreferredListWithExecutionContext)::Imp
        setInputModeToNextInPreferredListWithExecutionContext;
  };

  platform::Platform platform_;
  Settings& settings_;
  Guards& guards_;
  platform::ActiveIdentifiers& activeModes_;
  objc::Class* textInputMode_;
  objc::Class* alertViewClass_;
  bool plainStep_;
  bool storedSwitcherList_;
  KeyboardCycler cycler_;
  Saved saved_;
};

}  // namespace orvane
