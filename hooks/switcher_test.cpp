#include <gtest/gtest.h>

#include "rig/rig.h"
#include "sim/standins/ui.h"
#include "startup/orvane.h"

namespace orvane {
namespace {

// How many times the system built its own switcher list while the extension answered one ask.
int systemListsForOneAsk(double version, std::int32_t mode) {
  rig::Rig device;
  device.device().setVersion(version);
  device.keyboards({"en_US", "fr_FR"});
  device.writeSettings({{"mode", Value(mode)}, {"SelectedKeyboards", Value(Array{Value("fr_FR")})}});
  sim::LocalProcess& app = device.start("com.example.app");
  const int before = app.ui().systemSwitcherLists;
  app.askSwitcherList();
  return app.ui().systemSwitcherLists - before;
}

TEST(SwitcherList, AtTheStoredListVersionModeTwoNeverAsksTheSystem) {
  EXPECT_EQ(systemListsForOneAsk(793.0, 2), 0);
  EXPECT_EQ(systemListsForOneAsk(793.0, 1), 1);
  EXPECT_EQ(systemListsForOneAsk(793.1, 2), 1);
}

TEST(GlobeTouch, TheGuardAndReloadRunBeforeTheKeyIsKnown) {
  rig::Rig device;
  device.keyboards({"en_US", "fr_FR"});
  device.writeSettings({{"mode", Value(3)}, {"SelectedKeyboards", Value(Array{Value("fr_FR")})}});
  sim::LocalProcess& app = device.start("com.example.app");
  Settings& settings = device.extension(app.bundleIdentifier()).settings();
  // A touch that hits no key still reloads: the cache follows the file afterwards.
  device.writeSettings({{"mode", Value(2)}, {"SelectedKeyboards", Value(Array{Value("fr_FR")})}});
  app.tapNowhere();
  EXPECT_EQ(settings.cache().mode, 2);
}

// The touch replacement finds the key under the finger before it looks at the mode, in every mode:
// with the system's own touch-up after it, a letter's touch-up is hit-tested twice.
TEST(GlobeTouch, TheKeyIsHitTestedBeforeTheModeIsLookedAt) {
  for (const int mode : {0, 1, 2, 3}) {
    rig::Rig device;
    device.keyboards({"en_US", "fr_FR"});
    device.writeSettings({{"mode", Value(mode)}, {"SelectedKeyboards", Value(Array{Value("fr_FR")})}});
    sim::LocalProcess& app = device.start("com.example.app");
    int hitTests = 0;
    decltype(platform::sel::keyHitTest)::Imp system;
    platform::MSHookMessageEx(
        app, app.objc_getClass("UIKeyboardLayoutStar"), platform::sel::keyHitTest,
        [&](const objc::Id& self, objc::Sel cmd, platform::Point p) {
          ++hitTests;
          return system(self, cmd, p);
        },
        &system);
    ASSERT_TRUE(app.tapKey("q"));
    EXPECT_EQ(hitTests, 2) << "mode " << mode;
    EXPECT_EQ(device.events("typed").size(), 1u) << "mode " << mode;
  }
}

}  // namespace
}  // namespace orvane
