// Mode 1: a tap on the globe key steps only through the selected keyboards, in the system's order,
// records the choice as the system's last used keyboard and announces it. The two next-keyboard
// replacements queue the tasks below; the globe key's label asks the same question a tap would.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/class_reference.h"
#include "platform/input_modes.h"
#include "platform/services.h"
#include "settings/settings.h"

namespace orvane {

class KeyboardCycler {
 public:
  // `plainStep`: whether this system's keyboard has the plain next-keyboard step.
  KeyboardCycler(const platform::Platform& platform, objc::Class* textInputMode,
                 platform::ActiveIdentifiers& activeModes, const Settings& settings, bool plainStep);

  // The position in the active input modes that a tap moves to: the first after the current one
  // whose identifier is selected; nothing when there is no active input mode.
  std::optional<std::int32_t> nextSelectedKeyboardIndex();
  // The identifier at a position of the active input modes, a position the list has since lost
  // being the first mode; nothing (rather than a nil identifier) when there is no active input mode.
  std::optional<platform::String> identifierAt(std::int32_t position);
  // The identifier a tap would switch to now; nothing when there is none to look at.
  platform::String nextSelectedIdentifier();
  bool isActiveIdentifier(const platform::String& identifier);

  // Records the keyboard at `position` as the last used one, announces it and switches to it; an
  // identifier that is not active falls back to the system's step, at most once per tap.
  void commitKeyboardSwitch(std::int32_t position, const objc::Id& keyboardImpl, bool fromFallback);

  // The tasks a tap queues, for two or more selected keyboards and for exactly one. `fromFallback`
  // is whether the tap was made by the commit's own fallback (`inFallback` when it was queued).
  void switchToNextSelectedKeyboard(const objc::Id& keyboardImpl, bool fromFallback);
  void switchToOnlySelectedKeyboard();
  bool inFallback() const { return inCommitFallback_; }

 private:
  platform::Platform platform_;
  objc::Class* textInputMode_;
  platform::ActiveIdentifiers& activeModes_;
  const Settings& settings_;
  bool plainStep_;
  platform::ClassReference keyboardImplClass_;
  bool inCommitFallback_ = false;
};

}  // namespace orvane
