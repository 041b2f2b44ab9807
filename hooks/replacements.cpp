// The switcher-list, label and touch replacements, and the lock screen's unlock completion.
#include "hooks/orvane.h"

namespace orvane {

StringList Orvane::replaced_inputModes(const Id& self, Sel cmd) { return saved_.inputModes(self, cmd); }

String Orvane::replaced_displayString(const Id& self, Sel cmd) { return saved_.displayString(self, cmd); }

void Orvane::replaced_touchUp(const Id& self, Sel cmd, const Id& touch) { saved_.touchUp(self, cmd, touch); }

void Orvane::replaced_finishUIUnlockFromSource(const Id& self, Sel cmd, int source) {
  // The unlock completes first; the welcome follows it.
  saved_.finishUIUnlockFromSource(self, cmd, source);
  guards_.welcomeAfterUnlock();
}

}  // namespace orvane
