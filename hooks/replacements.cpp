#include "hooks/replacements.h"

namespace orvane {

Replacements::Replacements(const platform::Platform& platform, Settings& settings, Guards& guards,
                           platform::ActiveIdentifiers& activeModes, objc::Class* textInputMode, objc::Class* alertView,
                           bool plainStep, bool storedSwitcherList)
    : platform_(platform),
      settings_(settings),
      guards_(guards),
      activeModes_(activeModes),
      textInputMode_(textInputMode),
      alertViewClass_(alertView),
      plainStep_(plainStep),
      storedSwitcherList_(storedSwitcherList),
      cycler_(platform_, textInputMode, activeModes, settings, plainStep) {}

void Replacements::install() {
  using platform::MSHookMessageEx;
  namespace sel = platform::sel;
  platform::Runtime& runtime = platform_.runtime;

  MSHookMessageEx(
      runtime, runtime.objc_getClass("UIInputSwitcherView"), sel::inputModes,
      [this](const Id& self, Sel cmd) { return replaced_inputModes(self, cmd); }, &saved_.inputModes);
  MSHookMessageEx(
      runtime, runtime.objc_getClass("UIKBTree"), sel::displayString,
      [this](const Id& self, Sel cmd) { return replaced_displayString(self, cmd); }, &saved_.displayString);
  MSHookMessageEx(
      runtime, runtime.objc_getClass("UIKeyboardLayoutStar"), sel::touchUp,
      [this](const Id& self, Sel cmd, Id touch) { replaced_touchUp(self, cmd, touch); }, &saved_.touchUp);
  MSHookMessageEx(
      runtime, runtime.objc_getClass("SBLockScreenViewController"), sel::finishUIUnlockFromSource,
      [this](const Id& self, Sel cmd, int source) { replaced_finishUIUnlockFromSource(self, cmd, source); },
      &saved_.finishUIUnlockFromSource);
  if (plainStep_) {
    MSHookMessageEx(
        runtime, runtime.objc_getClass("UIKeyboardImpl"), sel::setInputModeToNextInPreferredList,
        [this](const Id& self, Sel cmd) { replaced_setInputModeToNextInPreferredList(self, cmd); },
        &saved_.setInputModeToNextInPreferredList);
  } else {
    MSHookMessageEx(
        runtime, runtime.objc_getClass("UIKeyboardImpl"), sel::setInputModeToNextInPreferredListWithExecutionContext,
        [this](const Id& self, Sel cmd, Id context) {
          replaced_setInputModeToNextInPreferredListWithExecutionContext(self, cmd, context);
        },
        &saved_.setInputModeToNextInPreferredListWithExecutionContext);
  }
}

}  // namespace orvane
