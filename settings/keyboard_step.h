// Which form of the system's next-keyboard step the extension takes, and where the switcher's list
// comes from, by the system's version.
#pragma once

#include "platform/uikit.h"

namespace orvane {

// The one system version whose keyboard has the plain next-keyboard step; its switcher list is also
// built from "AppleKeyboards".
inline constexpr double kPlainStepVersion = 793.0;

// The extension's version rule: 793.0 is the version of the plain step and of the stored switcher
// list.
inline bool hasPlainNextKeyboardStep(double versionNumber) { return versionNumber == kPlainStepVersion; }

// Which next-keyboard step this system's keyboard takes: the one form its class implements when it
// implements only one; the version rule where it has both (or the class is absent). A version rule
// that named a form the class lacks would hook nothing, and mode 1 would silently do nothing.
inline bool usesPlainNextKeyboardStep(objc::Class* keyboardImpl, double versionNumber) {
  const bool plain =
      objc::classLookup(keyboardImpl, platform::sel::setInputModeToNextInPreferredList.name, typeid(void())) != nullptr;
  const bool withContext =
      objc::classLookup(keyboardImpl, platform::sel::setInputModeToNextInPreferredListWithExecutionContext.name,
                        typeid(void(objc::Id))) != nullptr;
  if (plain != withContext) return plain;
  return hasPlainNextKeyboardStep(versionNumber);
}

}  // namespace orvane
