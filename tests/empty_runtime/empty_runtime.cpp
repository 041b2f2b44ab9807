// The extension built against a second implementation of the runtime interface, one that has
// nothing: no classes, no methods, nothing to hook. That it builds and links proves the extension
// names nothing of the fast runtime; that it then loads and starts (every lookup answering nil, so
// every send doing nothing) proves it asks for nothing more than platform/ declares.
#include <cstdio>
#include <memory>

#include "platform/services.h"
#include "startup/orvane.h"

namespace orvane::objc {

class Object {};
class Class {};

const void* msgLookup(const Object&, Sel, const std::type_info&) { return nullptr; }
const void* msgSendLookup(const Object&, Sel name, const std::type_info&) { fatal("unrecognized selector", name); }
const void* classLookup(const Class*, Sel, const std::type_info&) { return nullptr; }
Id classObject(Class*) { return nullptr; }
Class* object_getClass(const Object&) { return nullptr; }
Class* class_getSuperclass(const Class*) { return nullptr; }
Class* objc_getMetaClass(Class*) { return nullptr; }
std::string_view class_getName(const Class*) { return "nil"; }
bool class_conformsToProtocol(const Class*, std::string_view) { return false; }
Id class_createInstance(Class*) { return nullptr; }
void* object_getIvars(const Object&, const std::type_info&) { return nullptr; }

}  // namespace orvane::objc

namespace {

using namespace orvane;

// A process with nothing in it: no classes, no functions, no preferences, no files.
class EmptyProcess final : public platform::System,
                           public platform::Runtime,
                           public platform::Preferences,
                           public platform::Files,
                           public platform::Notify,
                           public platform::Strings {
 public:
  double kCFCoreFoundationVersionNumber() override { return 1240.1; }
  std::optional<std::string> mainBundleIdentifier() override { return std::nullopt; }
  void NSLog(const std::string& line) override { std::printf("%s\n", line.c_str()); }
  void dispatchAsyncMain(std::function<void()>) override {}

  objc::Class* objc_getClass(std::string_view) override { return nullptr; }
  const void* dlopen(std::string_view, int) override { return nullptr; }
  objc::Class* objc_allocateClassPair(objc::Class*, std::string_view) override { return nullptr; }
  void class_addMethod(objc::Class*, objc::Sel, const std::type_info&, std::shared_ptr<void>) override {}
  void class_addProtocol(objc::Class*, std::string_view) override {}
  void class_addIvars(objc::Class*, const std::type_info&, std::shared_ptr<void> (*)()) override {}
  void objc_registerClassPair(objc::Class*) override {}
  platform::HookResult hookMessage(objc::Class*, objc::Sel, const std::type_info&, std::shared_ptr<void>) override {
    return {platform::HookStatus::kNoSuchClass, nullptr};
  }
  platform::HookResult hookFunction(std::string_view, const std::type_info&, std::shared_ptr<void>) override {
    return {platform::HookStatus::kNoSuchFunction, nullptr};
  }
  bool revertHook(objc::Class*, objc::Sel) override { return false; }

  std::optional<Value> CFPreferencesCopyAppValue(std::string_view, std::string_view) override { return std::nullopt; }
  void CFPreferencesSetAppValue(std::string_view, const std::optional<Value>&, std::string_view) override {}
  bool CFPreferencesGetAppBooleanValue(std::string_view, std::string_view, bool* valid) override {
    if (valid != nullptr) *valid = false;
    return false;
  }
  bool CFPreferencesAppSynchronize(std::string_view) override { return true; }

  bool fileExistsAtPath(std::string_view) override { return false; }
  std::optional<Dictionary> dictionaryWithContentsOfFile(std::string_view) override { return std::nullopt; }
  bool writeToFileAtomically(const Dictionary&, std::string_view) override { return false; }

  void CFNotificationCenterAddObserver(std::string_view, std::function<void(std::string_view)>, int) override {}
  void CFNotificationCenterPostNotification(std::string_view, bool) override {}
  void notify_post(std::string_view) override {}
  void GSSendAppPreferencesChanged(std::string_view, std::string_view) override {}

  std::string capitalizedString(std::string_view s) override { return std::string(s); }
};

}  // namespace

int main() {
  EmptyProcess process;
  const platform::Platform platform{process, process, process, process, process, process};
  std::unique_ptr<platform::Library> library = makeOrvane(platform);
  library->loadClasses();
  library->libraryDidLoad();
  std::printf("the extension loaded on the empty runtime\n");
  return 0;
}
