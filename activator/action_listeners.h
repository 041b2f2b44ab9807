// The three fixed Activator actions, in SpringBoard: cycle the switching mode, toggle the system's
// auto-correction, and step every application's keyboard to the next keyboard.
#pragma once

#include "platform/services.h"
#include "settings/guards.h"

namespace orvane {

struct ActionListenerClasses {
  objc::Class* changeMode;
  objc::Class* changeAutoCorrection;
  objc::Class* changeKeyboard;
};

// Adds `ChangeMode`, `ChangeAutoCorrection` and `ChangeKeyboard` to the process. `guards` outlives
// the classes' use.
ActionListenerClasses addActionListenerClasses(const platform::Platform& platform, Guards& guards);

// Whether this system keeps "KeyboardAutocorrection" in the preference service rather than the file.
bool autocorrectionInPreferenceService(double versionNumber);

}  // namespace orvane
