// The extension as loaded into one process: every piece of process-wide state it keeps, its
// start-up, and the replacements it installs. One instance per process; nothing is global.
#pragma once

#include <memory>
#include <string>

#include "hooks/cycling.h"
#include "platform/class_reference.h"
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
  KeyboardCycler& cycler() { return cycler_; }

 private:
  void registerActivatorListeners();
  void installReplacements();
  // The two next-keyboard replacements' shared body: true when it acted in place of the system.
  bool stepThroughSelected(const Id& keyboardImpl, const Id* context);
  // The identifier of the keyboard a globe tap would switch to, as the label sees it; nothing when
  // there is none to look at.
  String nextKeyboardForLabel();

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
  platform::ClassReference activatorClass_;
  Settings settings_;
  Guards guards_;
  // Which next-keyboard step this system has: the plain one, or the one with an execution context.
  bool plainStep_;
  KeyboardCycler cycler_;
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
