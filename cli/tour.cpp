#include "cli/scenario.h"

namespace orvane::cli {

const char* const kTourScript = R"(
say A device with four keyboards and Activator; the extension is installed but not configured yet.
version 1240.1
activator installed
keyboards en_US@hw=US;sw=QWERTY fr_FR@sw=AZERTY emoji@sw=Emoji de_DE

say SpringBoard starts: Activator is found, the listeners are registered, every replacement is installed.
start springboard
expect log springboard "\e[1;35m[Orvane] ACTIVATOR INSTALLED - SUPPORT ENABLED\e[0m"
expect hook springboard SBLockScreenViewController finishUIUnlockFromSource:

say The first unlock completes, then the extension greets the user, once.
unlock
expect alert springboard Orvane "Thanks for using Orvane\nPlease enable it in Settings and Customize it on your way.\nYou need to select at least one keyboard in settings so this tweak can work." "I Understand"
dismiss springboard

say An application starts. No settings yet: the globe key warns once and works as the system's own.
start com.example.notes
tap com.example.notes globe
expect alert com.example.notes Orvane "You still did not configure some of Orvane's settings, please do so or it wont work properly." "Alright, I Will."
expect input-mode com.example.notes fr_FR@sw=AZERTY
dismiss com.example.notes
tap com.example.notes globe
expect no-alert com.example.notes

say The user selects two keyboards out of four, in mode 1; every process reloads.
settings write {enabled: true, mode: 1, icon: 1, SelectedKeyboards: [emoji@sw=Emoji, en_US@hw=US;sw=QWERTY]}
post springboard darwin net.varnholt.orvane/prefsChanged
run

say Each tap now steps only through the two selected keyboards, records the choice and announces it.
tap com.example.notes globe
run
expect input-mode com.example.notes en_US@hw=US;sw=QWERTY
tap com.example.notes globe
run
expect input-mode com.example.notes emoji@sw=Emoji
expect pref com.apple.Preferences KeyboardLastUsed emoji@sw=Emoji
tap com.example.notes globe
run
expect input-mode com.example.notes en_US@hw=US;sw=QWERTY

say Label style 3: the globe key reads "emoji" when the next tap would land on the emoji keyboard.
settings set icon 3
label com.example.notes
expect label com.example.notes emoji
tap com.example.notes globe
run
label com.example.notes
expect label com.example.notes globe

say Mode 2: a long press on the globe key lists every keyboard but the two selected ones.
settings set mode 2
long-press com.example.notes
expect switcher com.example.notes [fr_FR@sw=AZERTY, de_DE]

say Mode 3: the globe key does nothing, while the other keys type as usual.
settings set mode 3
tap com.example.notes globe
expect input-mode com.example.notes emoji@sw=Emoji
tap com.example.notes q
expect event com.example.notes typed key=q

say A default keyboard: whenever the keyboard is about to appear, the application switches to it.
settings set DefaultKeyboard de_DE
show-keyboard com.example.notes
run
expect log com.example.notes "\e[1;35m[Orvane] Vou mudar para de_DE\e[0m"
expect input-mode com.example.notes de_DE

say SpringBoard's agent and every application's carry out the commands SpringBoard posts.
start com.example.mail
post springboard distributed net.varnholt.changeToSpecificKeyboard {keyboard: fr_FR}
run
expect input-mode com.example.notes fr_FR@sw=AZERTY
expect input-mode com.example.mail fr_FR@sw=AZERTY

say Activator in SpringBoard: each enabled keyboard has an action, titled in its own language.
activator ask fr_FR title
activator ask fr_FR description
activator ask emoji title
activator fire emoji
run
expect input-mode com.example.notes emoji@sw=Emoji
expect input-mode com.example.mail emoji@sw=Emoji

say The mode action cycles the switching mode in the settings file; every process reloads.
activator fire net.varnholt.orvane.change-mode
run
expect setting mode 1
expect setting DefaultKeyboard de_DE
activator fire net.varnholt.orvane.change-keyboard
run
expect input-mode com.example.notes en_US@hw=US;sw=QWERTY

say The auto-correction action toggles the system's auto-correction and announces it.
activator fire net.varnholt.orvane.change-autocorrection
expect pref com.apple.Preferences KeyboardAutocorrection false
)";

}  // namespace orvane::cli
