#include "cli/scenario.h"

namespace orvane::cli {

const char* const kTourScript = R"(
say A device with four keyboards, Activator installed, and the extension in place.
version 1240.1
activator installed
keyboards en_US@hw=US;sw=QWERTY fr_FR@sw=AZERTY emoji@sw=Emoji de_DE
settings write {enabled: true, mode: 1, icon: 1, SelectedKeyboards: [en_US@hw=US;sw=QWERTY, emoji@sw=Emoji]}

say SpringBoard starts: Activator is found, every replacement is installed, the settings are loaded.
start springboard
expect log springboard "\e[1;35m[Orvane] ACTIVATOR INSTALLED - SUPPORT ENABLED\e[0m"
expect hook springboard SBLockScreenViewController finishUIUnlockFromSource:
expect hook springboard UIKeyboardImpl setInputModeToNextInPreferredListWithExecutionContext:

say An application starts: no Activator log line there, and no lock screen to hook.
start com.example.notes
expect no-log com.example.notes
expect no-hook com.example.notes SBLockScreenViewController finishUIUnlockFromSource:
expect hook com.example.notes UIApplicationMain

say A settings change announced on the Darwin bus reaches every process, which reloads.
settings set mode 2
post springboard darwin net.varnholt.orvane/prefsChanged
run
expect event SpringBoard darwin-deliver name=net.varnholt.orvane/prefsChanged
expect event com.example.notes darwin-deliver name=net.varnholt.orvane/prefsChanged
)";

}  // namespace orvane::cli
