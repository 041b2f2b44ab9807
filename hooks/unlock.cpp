// SpringBoard's lock screen: the welcome notice after the first completed unlock.
#include "hooks/replacements.h"

namespace orvane {

void Replacements::replaced_finishUIUnlockFromSource(const Id& self, Sel cmd, int source) {
  // The unlock completes first; the welcome follows it.
  saved_.finishUIUnlockFromSource(self, cmd, source);
  guards_.welcomeAfterUnlock();
}

}  // namespace orvane
