// Mode 2 leaves the selected keyboards out of the switcher menu, mode 3 silences the globe key, and
// the label style puts "emoji" on the globe key.
#include <algorithm>

#include "hooks/orvane.h"
#include "platform/input_modes.h"

namespace orvane {

namespace sel = platform::sel;

namespace {
constexpr std::string_view kEmojiLabel = "emoji";

constexpr SwitchMode kSkipSelectedMode = 2;
constexpr SwitchMode kSilentGlobeMode = 3;
constexpr GlobeLabelStyle kAlwaysEmoji = 2;
constexpr GlobeLabelStyle kEmojiWhenNext = 3;

bool isGlobeKey(const Id& key) {
  return platform::isEqualToString(objc::send(key, sel::name), platform::names::kGlobeKeyName);
}

// The emoji keyboard is the one whose identifier, up to the first "@", is exactly "emoji".
bool isEmojiKeyboard(const String& identifier) {
  return identifier && std::string_view(*identifier).substr(0, identifier->find('@')) == kEmojiLabel;
}
}  // namespace

StringList Orvane::replaced_inputModes(const Id& self, Sel cmd) {
  if (!guards_.isConfigured()) return saved_.inputModes(self, cmd);
  settings_.reloadSettings();
  if (!settings_.cache().enabled || settings_.cache().mode != kSkipSelectedMode) return saved_.inputModes(self, cmd);

  std::vector<std::string> list;
  if (plainStep_) {
    // This system's switcher is built from the stored list; the system's implementation is not asked.
    const auto stored = platform_.preferences.CFPreferencesCopyAppValue(platform::names::kAppleKeyboardsKey,
                                                                        platform::names::kGlobalPreferencesDomain);
    if (const Array* identifiers = stored ? stored->array() : nullptr) {
      for (const Value& identifier : *identifiers) {
        if (const std::string* s = identifier.string()) list.push_back(*s);
      }
    }
  } else if (StringList system = saved_.inputModes(self, cmd)) {
    list = std::move(*system);
  }
  // Every occurrence of a selected identifier goes; the rest keep their order.
  if (const auto& selected = settings_.keyboards()) {
    std::erase_if(list, [&](const std::string& identifier) {
      return std::find(selected->begin(), selected->end(), identifier) != selected->end();
    });
  }
  return list;
}

String Orvane::replaced_displayString(const Id& self, Sel cmd) {
  if (!isGlobeKey(self)) return saved_.displayString(self, cmd);
  // The label follows its style whether or not the extension is configured or enabled.
  settings_.reloadSettings();
  const GlobeLabelStyle style = settings_.cache().icon;
  if (style == kAlwaysEmoji || (style == kEmojiWhenNext && isEmojiKeyboard(nextKeyboardForLabel()))) {
    objc::send(self, sel::setOverrideDisplayString, String(std::string(kEmojiLabel)));
  }
  return saved_.displayString(self, cmd);
}

String Orvane::nextKeyboardForLabel() {
  if (settings_.cache().mode == 1) {
    // Exactly as a tap would choose; a position the list has since lost becomes the first mode, as
    // in the commit. With no active input mode there is no next keyboard to look at.
    if (settings_.keyboardCount() < 2) return std::nullopt;
    const std::optional<std::int32_t> target = nextSelectedKeyboardIndex();
    const std::vector<String>& modes = activeModes_.fetch();
    if (!target || modes.empty()) return std::nullopt;
    return modes[*target >= 0 && static_cast<std::size_t>(*target) < modes.size() ? static_cast<std::size_t>(*target) : 0];
  }
  // The next active input mode after the current one, wrapping to the first; a current mode that is
  // not active makes it the first.
  const std::vector<String>& modes = activeModes_.fetch();
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

void Orvane::replaced_touchUp(const Id& self, Sel cmd, const Id& touch) {
  // Every key's touch-up passes the guard and reloads, before the key is even known.
  if (!guards_.isConfigured()) return saved_.touchUp(self, cmd, touch);
  settings_.reloadSettings();
  if (!settings_.cache().enabled) return saved_.touchUp(self, cmd, touch);
  const Id key = objc::send(self, sel::keyHitTest, objc::send(touch, sel::locationInView, objc::send(touch, sel::view)));
  if (!isGlobeKey(key)) return saved_.touchUp(self, cmd, touch);
  // The globe key's touch-up is swallowed in mode 3: the tap has no effect.
  if (settings_.cache().mode == kSilentGlobeMode) return;
  saved_.touchUp(self, cmd, touch);
}

}  // namespace orvane
