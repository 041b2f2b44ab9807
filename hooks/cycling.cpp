// Mode 1: a tap on the globe key steps only through the selected keyboards, records the choice as the
// system's last used keyboard and announces it.
#include "hooks/cycling.h"

#include "hooks/next_position.h"
#include "hooks/replacements.h"
#include "settings/broadcast.h"
#include "settings/notices.h"

namespace orvane {

namespace sel = platform::sel;

namespace {
constexpr std::string_view kLastUsedKey = platform::names::kKeyboardLastUsedKey;

// A position in a list of `n` (not empty), one the list has since lost being the first.
std::size_t clamped(std::int32_t position, std::size_t n) {
  return position >= 0 && static_cast<std::size_t>(position) < n ? static_cast<std::size_t>(position) : 0;
}

// Completes the keyboard's pending task, so the keyboard is not left waiting.
void finishExecution(const Id& context) { objc::send(objc::send(context, sel::executionQueue), sel::finishExecution); }
}  // namespace

// ---- the two next-keyboard replacements ----

void Replacements::replaced_setInputModeToNextInPreferredList(const Id& self, Sel cmd) {
  if (!stepThroughSelected(self, nullptr)) saved_.setInputModeToNextInPreferredList(self, cmd);
}

void Replacements::replaced_setInputModeToNextInPreferredListWithExecutionContext(const Id& self, Sel cmd,
                                                                                  const Id& context) {
  if (!stepThroughSelected(self, &context)) {
    saved_.setInputModeToNextInPreferredListWithExecutionContext(self, cmd, context);
  }
}

bool Replacements::stepThroughSelected(const Id& keyboardImpl, const Id* context) {
  if (!guards_.isConfigured()) return false;
  settings_.reloadSettings();
  if (!settings_.cache().enabled || settings_.cache().mode != kStepThroughSelected) return false;

  if (settings_.keyboardCount() >= 2) {
    if (context != nullptr) finishExecution(*context);
    // The task holds the keyboard implementation until it has run.
    platform_.system.dispatchAsyncMain([this, keyboardImpl, fromFallback = cycler_.inFallback()] {
      cycler_.switchToNextSelectedKeyboard(keyboardImpl, fromFallback);
    });
    return true;
  }
  if (settings_.keyboardCount() == 1) {
    if (context != nullptr) finishExecution(*context);
    platform_.system.dispatchAsyncMain([this] { cycler_.switchToOnlySelectedKeyboard(); });
    return true;
  }
  // Reachable once the guard has recorded its own one-time notice: this one has no marker.
  showAlert(alertViewClass_, kNoKeyboardMessage, kNoKeyboardButton);
  return false;
}

// ---- the cycler ----

KeyboardCycler::KeyboardCycler(const platform::Platform& platform, objc::Class* textInputMode,
                               platform::ActiveIdentifiers& activeModes, const Settings& settings, bool plainStep)
    : platform_(platform),
      textInputMode_(textInputMode),
      activeModes_(activeModes),
      settings_(settings),
      plainStep_(plainStep),
      keyboardImplClass_(platform.runtime, "UIKeyboardImpl") {}

std::optional<std::int32_t> KeyboardCycler::nextSelectedKeyboardIndex() {
  const std::vector<String> identifiers = activeModes_.fetch();
  if (identifiers.empty()) return std::nullopt;
  const String current = platform::identifierOf(platform::currentInputMode(textInputMode_));
  const auto& selected = settings_.keyboards();
  return nextSelectedPosition(identifiers, current, selected ? *selected : std::vector<std::string>{});
}

std::optional<String> KeyboardCycler::identifierAt(std::int32_t position) {
  const std::vector<String> modes = activeModes_.fetch();
  if (modes.empty()) return std::nullopt;
  return modes[clamped(position, modes.size())];
}

String KeyboardCycler::nextSelectedIdentifier() {
  // One look at the active input modes: the position and the identifier come from the same list.
  const std::vector<String> identifiers = activeModes_.fetch();
  if (identifiers.empty()) return std::nullopt;
  const String current = platform::identifierOf(platform::currentInputMode(textInputMode_));
  const auto& selected = settings_.keyboards();
  const std::int32_t position =
      nextSelectedPosition(identifiers, current, selected ? *selected : std::vector<std::string>{});
  return identifiers[clamped(position, identifiers.size())];
}

bool KeyboardCycler::isActiveIdentifier(const String& identifier) {
  for (const String& active : activeModes_.fetch()) {
    if (platform::isEqualToString(identifier, active)) return true;
  }
  return false;
}

void KeyboardCycler::switchToNextSelectedKeyboard(const Id& keyboardImpl, bool fromFallback) {
  // With no active input mode there is nowhere to go: the keyboard stays as it is.
  if (auto position = nextSelectedKeyboardIndex()) commitKeyboardSwitch(*position, keyboardImpl, fromFallback);
}

void KeyboardCycler::commitKeyboardSwitch(std::int32_t position, const Id& keyboardImpl, bool fromFallback) {
  const std::optional<String> chosen = identifierAt(position);
  if (!chosen) return;
  const String& identifier = *chosen;

  platform_.preferences.CFPreferencesSetAppValue(kLastUsedKey,
                                                 identifier ? std::optional<Value>(*identifier) : std::nullopt,
                                                 platform::names::kKeyboardPreferencesDomain);
  broadcastKeyboardPreference(platform_, kLastUsedKey);

  // The identifier of A[i] once more, from a fresh fetch, for the test and for the switch.
  const std::optional<String> again = identifierAt(position);
  if (again && isActiveIdentifier(*again)) {
    objc::send(objc::sendClass(keyboardImplClass_.get(), sel::sharedInstance), sel::setInputMode, *again);
    return;
  }
  // The system's step, through the method table, so it enters the replacement again. A task queued
  // by that re-entry that finds itself here once more stops: the same state would only lead back
  // here, without end.
  if (fromFallback) return;
  inCommitFallback_ = true;
  platform::sendNextKeyboardStep(keyboardImpl, plainStep_, Id{});
  inCommitFallback_ = false;
}

void KeyboardCycler::switchToOnlySelectedKeyboard() {
  // The selection may have been emptied by a reload since the tap: then there is nothing to switch to.
  if (settings_.keyboardCount() == 0) return;
  const String only = settings_.keyboards()->front();
  objc::send(objc::sendClass(keyboardImplClass_.get(), sel::sharedInstance), sel::setInputMode, only);
  platform_.preferences.CFPreferencesSetAppValue(kLastUsedKey, Value(*only),
                                                 platform::names::kKeyboardPreferencesDomain);
  broadcastKeyboardPreference(platform_, kLastUsedKey);
}

}  // namespace orvane
