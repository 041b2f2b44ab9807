// The extension as loaded into one process: start-up, which wires the settings, the replacements,
// the agent and the Activator actions together. One instance per process; nothing is global.
#pragma once

#include <memory>
#include <string>

#include "hooks/replacements.h"
#include "platform/class_reference.h"
#include "platform/input_modes.h"
#include "platform/services.h"
#include "platform/uikit.h"
#include "settings/guards.h"
#include "settings/settings.h"

namespace orvane {

inline constexpr std::string_view kInstallPath = "/Library/MobileSubstrate/DynamicLibraries/Orvane.dylib";

// The extension's root: loaded into a process, it adds its classes, registers its Activator actions
// in SpringBoard, installs its replacements and loads its settings. It holds every piece of
// process-wide state the extension keeps.
class Orvane final : public platform::Library {
 public:
  explicit Orvane(const platform::Platform& platform);

  void loadClasses() override;
  void libraryDidLoad() override;

  // Creates the application's agent, then enters the system's UIApplicationMain.
  int replaced_UIApplicationMain(int argc, char** argv, platform::String principalClassName,
                                 platform::String delegateClassName);

  Settings& settings() { return settings_; }
  // The extension's own classes, once loadClasses() has added them (nullptr before, or where the
  // process already had a class of that name).
  struct Classes {
    objc::Class* globalFunction;
    objc::Class* changeMode;
    objc::Class* changeAutoCorrection;
    objc::Class* changeKeyboard;
    objc::Class* dynamicListener;
  };
  Classes classes() const {
    return {globalFunctionClass_, changeModeClass_, changeAutoCorrectionClass_, changeKeyboardClass_,
            dynamicListenerClass_};
  }
  Guards& guards() { return guards_; }
  KeyboardCycler& cycler() { return replacements_.cycler(); }
  Replacements& replacements() { return replacements_; }

 private:
  void registerActivatorListeners();

  platform::Platform platform_;
  objc::Class* textInputMode_;
  platform::ActiveIdentifiers activeModes_;
  platform::ClassReference activatorClass_;
  Settings settings_;
  Guards guards_;
  Replacements replacements_;
  // Set by the agent when the keyboard is about to be shown, cleared when it is about to be hidden.
  bool keyboardShownFlag_ = false;
  std::function<platform::symbol::UIApplicationMainSignature> savedUIApplicationMain_;
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
