// The extension as a shared object, as the platform's loader maps it into a process: it starts
// itself from its load-time constructor and exports what the system's extension exports, the
// replaced UIApplicationMain, the list `keyboards` and its five classes. Everything else in the
// object stays local to it (the build hides the symbols of the libraries it is made of).
//
// A shared object's constructor runs once per operating-system process, so one loaded object
// serves one simulated process: the real-runtime device gives every simulated process one OS
// process of its own.
#include "startup/orvane.h"

#define ORVANE_EXPORT __attribute__((visibility("default")))

namespace {
orvane::Orvane* loaded = nullptr;
}  // namespace

// C names, as the platform's loader and other libraries would look them up (dlsym).
extern "C" {

// The extension's replacement of UIApplicationMain; the process's UIApplicationMain enters it.
ORVANE_EXPORT int replaced_UIApplicationMain(int argc, char** argv, const orvane::platform::String* principalClassName,
                                             const orvane::platform::String* delegateClassName) {
  if (loaded == nullptr) return -1;
  return loaded->replaced_UIApplicationMain(argc, argv, principalClassName ? *principalClassName : std::nullopt,
                                            delegateClassName ? *delegateClassName : std::nullopt);
}

// The selected keyboards that are active, as the last reload left them; no list before start-up.
ORVANE_EXPORT const orvane::platform::StringList* keyboards = nullptr;

// The extension's classes, as registered with the process's runtime.
ORVANE_EXPORT orvane::objc::Class* OBJC_CLASS_ChangeMode = nullptr;
ORVANE_EXPORT orvane::objc::Class* OBJC_CLASS_ChangeAutoCorrection = nullptr;
ORVANE_EXPORT orvane::objc::Class* OBJC_CLASS_ChangeKeyboard = nullptr;
ORVANE_EXPORT orvane::objc::Class* OBJC_CLASS_GlobalFunction = nullptr;
ORVANE_EXPORT orvane::objc::Class* OBJC_CLASS_DynamicListener = nullptr;

}  // extern "C"

namespace {

__attribute__((constructor)) void mapped() {
  orvane::platform::libraryMapped([](const orvane::platform::Platform& platform) {
    auto library = std::make_unique<orvane::Orvane>(platform);
    loaded = library.get();
    return std::unique_ptr<orvane::platform::Library>(std::move(library));
  });
  if (loaded == nullptr) return;  // not mapped by a process's loader
  keyboards = &loaded->settings().keyboards();
  const orvane::Orvane::Classes classes = loaded->classes();
  OBJC_CLASS_ChangeMode = classes.changeMode;
  OBJC_CLASS_ChangeAutoCorrection = classes.changeAutoCorrection;
  OBJC_CLASS_ChangeKeyboard = classes.changeKeyboard;
  OBJC_CLASS_GlobalFunction = classes.globalFunction;
  OBJC_CLASS_DynamicListener = classes.dynamicListener;
}

}  // namespace
