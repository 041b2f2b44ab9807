// The keyboard and lock-screen replacements. Until each acts on the settings, it hands its call to
// the system's implementation unchanged.
#include "hooks/orvane.h"

namespace orvane {

StringList Orvane::replaced_inputModes(const Id& self, Sel cmd) { return saved_.inputModes(self, cmd); }

String Orvane::replaced_displayString(const Id& self, Sel cmd) { return saved_.displayString(self, cmd); }

void Orvane::replaced_touchUp(const Id& self, Sel cmd, const Id& touch) { saved_.touchUp(self, cmd, touch); }

void Orvane::replaced_finishUIUnlockFromSource(const Id& self, Sel cmd, int source) {
  saved_.finishUIUnlockFromSource(self, cmd, source);
}

void Orvane::replaced_setInputModeToNextInPreferredList(const Id& self, Sel cmd) {
  saved_.setInputModeToNextInPreferredList(self, cmd);
}

void Orvane::replaced_setInputModeToNextInPreferredListWithExecutionContext(const Id& self, Sel cmd,
                                                                            const Id& context) {
  saved_.setInputModeToNextInPreferredListWithExecutionContext(self, cmd, context);
}

}  // namespace orvane
