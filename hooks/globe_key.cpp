// The globe key: its label follows the label style ("emoji" always, or when a tap would switch to
// the emoji keyboard), and in mode 3 its touch-up is swallowed.
#include "hooks/replacements.h"
#include "platform/input_modes.h"
#include "settings/commands.h"

namespace orvane {

namespace sel = platform::sel;

namespace {
constexpr std::string_view kEmojiLabel = "emoji";

bool isGlobeKey(const Id& key) {
  return platform::isEqualToString(objc::send(key, sel::name), platform::names::kGlobeKeyName);
}

// The emoji keyboard is the one whose listener name (its identifier up to the first "@") is exactly
// "emoji".
bool isEmojiKeyboard(const String& identifier) {
  return identifier && keyboardListenerName(*identifier) == kEmojiLabel;
}
}  // namespace

String Replacements::replaced_displayString(const Id& self, Sel cmd) {
  if (!isGlobeKey(self)) return saved_.displayString(self, cmd);
  // The label follows its style whether or not the extension is configured or enabled.
  settings_.reloadSettings();
  const GlobeLabelStyle style = settings_.cache().icon;
  if (style == kAlwaysEmoji || (style == kEmojiWhenNextIsEmoji && isEmojiKeyboard(nextKeyboardForLabel()))) {
    objc::send(self, sel::setOverrideDisplayString, String(std::string(kEmojiLabel)));
  }
  return saved_.displayString(self, cmd);
}

String Replacements::nextKeyboardForLabel() {
  if (settings_.cache().mode == kStepThroughSelected) {
    // Exactly as a tap would choose.
    if (settings_.keyboardCount() < 2) return std::nullopt;
    return cycler_.nextSelectedIdentifier();
  }
  // The next active input mode after the current one, wrapping to the first; a current mode that is
  // not active makes it the first.
  const std::vector<String> modes = activeModes_.fetch();
  if (modes.empty()) return std::nullopt;
  const String current = platform::identifierOf(platform::currentInputMode(textInputMode_));
  std::size_t cur = modes.size();
  for (std::size_t i = 0; i < modes.size(); ++i) {
    if (platform::isEqualToString(modes[i], current)) {
      cur = i;
      break;
    }
  }
  return modes[cur + 1 > modes.size() - 1 ? 0 : cur + 1];
}

void Replacements::replaced_touchUp(const Id& self, Sel cmd, const Id& touch) {
  // Every key's touch-up passes the guard and reloads, before the key is even known.
  if (!guards_.isConfigured()) return saved_.touchUp(self, cmd, touch);
  settings_.reloadSettings();
  if (!settings_.cache().enabled) return saved_.touchUp(self, cmd, touch);
  // The key under the finger, whatever the mode.
  const Id key =
      objc::send(self, sel::keyHitTest, objc::send(touch, sel::locationInView, objc::send(touch, sel::view)));
  if (!isGlobeKey(key)) return saved_.touchUp(self, cmd, touch);
  // The globe key's touch-up is swallowed in mode 3: the tap has no effect.
  if (settings_.cache().mode == kSilentGlobeKey) return;
  saved_.touchUp(self, cmd, touch);
}

}  // namespace orvane
