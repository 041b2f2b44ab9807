// The extension as the shared object the loader maps into SpringBoard on GCC's Objective-C
// runtime: it starts itself, exports what the system's extension exports and nothing else, and its
// classes are the runtime's own.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <objc/runtime.h>

#include "platform/uikit.h"
#include "rig/rig.h"
#include "sim/process_runtime/process_runtime.h"

namespace orvane {
namespace {

// One OS process holds one simulated process on this runtime: one test.
TEST(SharedObject, StartsItselfInSpringBoardAndExportsTheSystemsNames) {
  rig::TemporaryRoot root;
  auto device = rig::makeDevice(root.path(), sim::Storage::kOnDisk);
  device->setActivatorInstalled(true);
  ASSERT_TRUE(device->setKeyboards(std::vector<std::string>{"en_US", "fr_FR"}));
  ASSERT_TRUE(device->files().writeAtomically(
      kSettingsPath,
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>SelectedKeyboards</key><array><string>fr_FR</string>"
      "<string>de_DE</string></array></dict></plist>"));
  sim::LocalProcess& springBoard = *device->start(sim::kSpringBoard).local();

  // The object the loader mapped, from its install path on the device.
  const auto file = device->files().hostPath(kInstallPath);
  ASSERT_TRUE(file);
  void* handle = ::dlopen(file->c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr) << "the process did not map the extension";

  // The list `keyboards`: the selected keyboards that are active, after start-up's reload.
  const auto* keyboards = *static_cast<const platform::StringList* const*>(::dlsym(handle, "keyboards"));
  ASSERT_NE(keyboards, nullptr);
  ASSERT_TRUE(keyboards->has_value());
  EXPECT_EQ(**keyboards, std::vector<std::string>{"fr_FR"});
  EXPECT_NE(::dlsym(handle, "replaced_UIApplicationMain"), nullptr);
  // Nothing else of the extension is visible outside it.
  EXPECT_EQ(::dlsym(handle, "_ZN6orvane6Orvane11loadClassesEv"), nullptr);
  EXPECT_EQ(::dlsym(handle, "_ZN6orvane10makeOrvaneERKNS_8platform8PlatformE"), nullptr);

  for (const char* name :
       {"ChangeMode", "ChangeAutoCorrection", "ChangeKeyboard", "GlobalFunction", "DynamicListener"}) {
    SCOPED_TRACE(name);
    auto* const* exported =
        static_cast<objc::Class* const*>(::dlsym(handle, (std::string("OBJC_CLASS_") + name).c_str()));
    ASSERT_NE(exported, nullptr);
    // The exported class is the one the process's runtime, and libobjc itself, find by name.
    EXPECT_EQ(*exported, springBoard.objc_getClass(name));
    EXPECT_EQ(reinterpret_cast<::Class>(*exported), objc_lookUpClass(name));
    EXPECT_STREQ(class_getName(class_getSuperclass(objc_lookUpClass(name))), "NSObject");
    if (std::string_view(name) == "GlobalFunction") continue;  // the agent is no listener
    EXPECT_TRUE(objc::class_conformsToProtocol(*exported, "LAListener"));
    const objc::Id shared = objc::sendClass(*exported, platform::sel::sharedListener);
    ASSERT_TRUE(shared);
    EXPECT_EQ(objc::sendClass(*exported, platform::sel::sharedListener), shared);
  }
  ::dlclose(handle);
  // libobjc's class table is this OS process's: a second process here is refused, not run over the
  // first one's classes (the backend says so; nothing is probed).
  EXPECT_FALSE(sim::processModel().classTablePerProcess);
  EXPECT_THROW(device->start("com.example.app"), std::runtime_error);
  EXPECT_EQ(device->processes().size(), 1U);
}

}  // namespace
}  // namespace orvane
