// Mode 2 leaves the selected keyboards out of the switcher menu, mode 3 silences the globe key, and
// the label style puts "emoji" on the globe key.
#include <algorithm>

#include "hooks/orvane.h"
#include "platform/input_modes.h"

namespace orvane {

namespace sel = platform::sel;

namespace {
constexpr std::string_view kGlobeKeyName = "International-Key";
constexpr std::string_view kEmojiLabel = "emoji";
constexpr std::string_view kGlobalPreferences = ".GlobalPreferences";
constexpr std::string_view kAppleKeyboardsKey = "AppleKeyboards";
constexpr double kStoredListVersion = 793.0;

constexpr SwitchMode kSkipSelectedMode = 2;
constexpr SwitchMode kSilentGlobeMode = 3;
constexpr GlobeLabelStyle kAlwaysEmoji = 2;
constexpr GlobeLabelStyle kEmojiWhenNext = 3;

bool isGlobeKey(const Id& key) { return platform::isEqualToString(objc::send(key, sel::name), kGlobeKeyName); }

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
  if (platform_.system.kCFCoreFoundationVersionNumber() == kStoredListVersion) {
    // This system's switcher is built from the stored list; the system's implementation is not asked.
    const auto stored = platform_.preferences.CFPreferencesCopyAppValue(kAppleKeyboardsKey, kGlobalPreferences);
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
  std::optional<std::int32_t> target;
  if (settings_.cache().mode == 1) {
    if (settings_.keyboardCount() < 2) return std::nullopt;
    target = nextSelectedKeyboardIndex();
  } else {
    // The next active input mode after the current one, wrapping to the first; a current mode that
    // is not active makes it the first.
    const std::vector<String>& modes = activeModes_.fetch();
    const String current = platform::identifierOf(platform::currentInputMode(textInputMode_));
    const auto n = static_cast<std::int32_t>(modes.size());
    std::int32_t cur = n;
    for (std::int32_t i = 0; i < n; ++i) {
      if (platform::isEqualToString(modes[static_cast<std::size_t>(i)], current)) {
        cur = i;
        break;
      }
    }
    if (n > 0) target = cur + 1 > n - 1 ? 0 : cur + 1;
  }
  // With no active input mode there is no next keyboard to look at.
  const std::vector<String>& modes = activeModes_.fetch();
  if (!target || modes.empty()) return std::nullopt;
  const std::size_t t = *target >= 0 && static_cast<std::size_t>(*target) < modes.size() ? static_cast<std::size_t>(*target) : 0;
  return modes[t];
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
