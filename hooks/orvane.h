// The extension as loaded into one process: every piece of process-wide state it keeps, its
// start-up, and the replacements it installs. One instance per process; nothing is global.
#pragma once

#include <memory>
#include <string>

#include "platform/input_modes.h"
#include "platform/services.h"
#include "platform/uikit.h"
#include "settings/guards.h"
#include "settings/settings.h"

namespace orvane {

using objc::Id;
using objc::Sel;
using platform::String;
using platform::StringList;

inline constexpr std::string_view kInstallPath = "/Library/MobileSubstrate/DynamicLibraries/Orvane.dylib";

// The Activator listener name of an enabled keyboard: its identifier up to the first "@".
std::string keyboardListenerName(std::string_view identifier);

class Orvane final : public platform::Library {
 public:
  explicit Orvane(const platform::Platform& platform);

  void loadClasses() override;
  void libraryDidLoad() override;

  // The replacements. Each keeps the system's implementation in its saved slot.
  int replaced_UIApplicationMain(int argc, char** argv, String principalClassName, String delegateClassName);
  StringList replaced_inputModes(const Id& self, Sel cmd);
  String replaced_displayString(const Id& self, Sel cmd);
  void replaced_touchUp(const Id& self, Sel cmd, const Id& touch);
  void replaced_finishUIUnlockFromSource(const Id& self, Sel cmd, int source);
  void replaced_setInputModeToNextInPreferredList(const Id& self, Sel cmd);
  void replaced_setInputModeToNextInPreferredListWithExecutionContext(const Id& self, Sel cmd, const Id& context);

  Settings& settings() { return settings_; }
  Guards& guards() { return guards_; }

  // The position in the active input modes that a tap in mode 1 moves to; nothing when there is no
  // active input mode.
  std::optional<std::int32_t> nextSelectedKeyboardIndex();
  // Records the keyboard at `position` as the last used one, announces it and switches to it.
  void commitKeyboardSwitch(std::int32_t position, const Id& keyboardImpl, bool fromFallback);
  bool isActiveIdentifier(const String& identifier);

 private:
  // The `LAActivator` class, looked up by name until found once.
  objc::Class* activatorClass();
  void registerActivatorListeners();
  void installReplacements();
  // The two next-keyboard replacements' shared body: true when it acted in place of the system.
  bool stepThroughSelected(const Id& keyboardImpl, const Id* context);
  void switchToNextSelectedKeyboard(const Id& keyboardImpl, bool fromFallback);
  void switchToOnlySelectedKeyboard();
  // The identifier of the keyboard a globe tap would switch to, as the label sees it; nothing when
  // there is none to look at.
  String nextKeyboardForLabel();
  objc::Class* keyboardImplClass();

  struct Saved {
    std::function<platform::symbol::UIApplicationMainSignature> UIApplicationMain;
    decltype(platform::sel::inputModes)::Imp inputModes;
    decltype(platform::sel::displayString)::Imp displayString;
    decltype(platform::sel::touchUp)::Imp touchUp;
    decltype(platform::sel::finishUIUnlockFromSource)::Imp finishUIUnlockFromSource;
    decltype(platform::sel::setInputModeToNextInPreferredList)::Imp setInputModeToNextInPreferredList;
    decltype(platform::sel::setInputModeToNextInPreferredListWithExecutionContext)::Imp
        setInputModeToNextInPreferredListWithExecutionContext;
  };

  platform::Platform platform_;
  objc::Class* textInputMode_;
  platform::ActiveIdentifiers activeModes_;
  objc::Class* alertViewClass_;
  objc::Class* activatorClass_ = nullptr;
  objc::Class* keyboardImplClass_ = nullptr;
  Settings settings_;
  Guards guards_;
  // Which next-keyboard step this system has, and whether the switch commit is re-entering it.
  bool plainStep_ = false;
  bool inCommitFallback_ = false;
  // Set by the agent when the keyboard is about to be shown, cleared when it is about to be hidden.
  bool keyboardShownFlag_ = false;
  Saved saved_;
  // The extension's own classes, added to the process by loadClasses(); empty until the class exists.
  objc::Class* globalFunctionClass_ = nullptr;
  objc::Class* changeModeClass_ = nullptr;
  objc::Class* changeAutoCorrectionClass_ = nullptr;
  objc::Class* changeKeyboardClass_ = nullptr;
  objc::Class* dynamicListenerClass_ = nullptr;
};

// The library entry the loader runs in every process.
std::unique_ptr<platform::Library> makeOrvane(const platform::Platform& platform);

}  // namespace orvane
