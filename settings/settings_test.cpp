#include "settings/settings.h"

#include <gtest/gtest.h>

#include "rig/rig.h"

namespace orvane {
namespace {

using Keyboards = std::vector<std::string>;

class SettingsTest : public ::testing::Test {
 protected:
  // Starts an application with these active keyboards and settings, and returns its settings.
  Settings& startWith(const Keyboards& active, const Dictionary& settings) {
    device_.keyboards(active);
    device_.writeSettings(settings);
    Settings& cache = device_.extension(device_.start("com.example.app").bundleIdentifier()).settings();
    cache.reloadSettings();  // the application may have started with earlier settings
    return cache;
  }
  static Dictionary selecting(const Keyboards& selected) {
    Array list(selected.begin(), selected.end());
    return {{"SelectedKeyboards", Value(list)}};
  }
  rig::Rig device_;
};

TEST_F(SettingsTest, WithoutAFileEverythingTakesItsDefault) {
  device_.keyboards({"en_US"});
  sim::LocalProcess& app = device_.start("com.example.app");
  const Settings& settings = device_.extension(app.bundleIdentifier()).settings();
  EXPECT_TRUE(settings.cache().enabled);
  EXPECT_EQ(settings.cache().mode, 1);
  EXPECT_EQ(settings.cache().icon, 1);
  ASSERT_TRUE(settings.keyboards());  // a list, though empty, from the end of start-up on
  EXPECT_TRUE(settings.keyboards()->empty());

  platform::ActiveIdentifiers modes(app.objc_getClass("UITextInputMode"));
  Settings fresh(app.platform(), modes);
  EXPECT_FALSE(fresh.keyboards());  // no list at all before the first reload
  EXPECT_EQ(fresh.keyboardCount(), 0u);
}

TEST_F(SettingsTest, TheSelectionKeepsFileOrderAndActiveDuplicatesOnly) {
  struct Case {
    Keyboards active, selected, expected;
  };
  const Case cases[] = {
      {{"C", "A"}, {"A", "B", "C"}, {"A", "C"}},
      {{"A"}, {"A", "A", "B"}, {"A", "A"}},
      {{"A"}, {"B", "A", "B"}, {"A"}},
      {{"en_US@hw=US;sw=QWERTY"}, {"en_US"}, {}},  // equality is exact
      {{"en_US"}, {"EN_US"}, {}},                  // and case-sensitive
      {{"A", "B"}, {}, {}},
  };
  for (const Case& c : cases) {
    rig::Rig device;
    device.keyboards(c.active);
    device.writeSettings(selecting(c.selected));
    const Settings& settings = device.extension(device.start("com.example.app").bundleIdentifier()).settings();
    EXPECT_EQ(*settings.keyboards(), c.expected) << ::testing::PrintToString(c.selected);
  }
}

TEST_F(SettingsTest, ValuesAreUsedAsReadWithoutRangeCheck) {
  Dictionary d = selecting({"A"});
  d["enabled"] = Value(false);
  d["mode"] = Value(4);
  d["icon"] = Value(7);
  const Settings& settings = startWith({"A"}, d);
  EXPECT_FALSE(settings.cache().enabled);
  EXPECT_EQ(settings.cache().mode, 4);
  EXPECT_EQ(settings.cache().icon, 7);
  EXPECT_EQ(*settings.keyboards(), Keyboards{"A"});  // still computed while disabled
}

TEST_F(SettingsTest, FilesOfTheWrongShapeYieldTheDefaults) {
  const std::string notADictionary = sim::serializePlist(Value(Array{Value(1)}), sim::PlistFormat::kXml).value();
  for (const std::string& bytes : {std::string("garbage"), std::string(), notADictionary, std::string("bplist00")}) {
    rig::Rig device;
    device.keyboards({"A"});
    device.writeSettingsBytes(bytes);
    const Settings& settings = device.extension(device.start("com.example.app").bundleIdentifier()).settings();
    EXPECT_TRUE(settings.cache().enabled);
    EXPECT_EQ(settings.cache().mode, 1);
    EXPECT_EQ(settings.keyboardCount(), 0u);
  }
  // Types without a reading for single keys: those keys default, the others are read.
  const Settings& settings = startWith({"A"}, {{"enabled", Value(Date{0})},
                                               {"mode", Value(Dictionary{})},
                                               {"icon", Value(2)},
                                               {"SelectedKeyboards", Value("A")}});
  EXPECT_TRUE(settings.cache().enabled);
  EXPECT_EQ(settings.cache().mode, 1);
  EXPECT_EQ(settings.cache().icon, 2);
  EXPECT_EQ(settings.keyboardCount(), 0u);
  // Strings answer the readings as the platform reads them.
  const Settings& strings = startWith({"A"}, {{"enabled", Value("NO")}, {"mode", Value(" 2")}, {"icon", Value("3rd")}});
  EXPECT_FALSE(strings.cache().enabled);
  EXPECT_EQ(strings.cache().mode, 2);
  EXPECT_EQ(strings.cache().icon, 3);
  // Elements that are not strings are dropped; the strings among them still count.
  const Settings& mixed = startWith({"A"}, {{"SelectedKeyboards", Value(Array{Value(1), Value("A"), Value(Array{})})}});
  EXPECT_EQ(*mixed.keyboards(), Keyboards{"A"});
}

TEST_F(SettingsTest, EachSelectedIdentifierFetchesTheActiveModesAnewAndAnEmptySelectionNone) {
  device_.keyboards({"A", "B"});
  device_.writeSettings(selecting({"A", "B", "C"}));
  sim::LocalProcess& app = device_.start("com.example.app");
  int fetches = 0;
  decltype(platform::sel::activeInputModes)::Imp system;
  platform::MSHookMessageEx(
      app, objc::objc_getMetaClass(app.objc_getClass("UITextInputMode")), platform::sel::activeInputModes,
      [&](const objc::Id& self, objc::Sel cmd) {
        ++fetches;
        return system(self, cmd);
      },
      &system);
  Settings& settings = device_.extension(app.bundleIdentifier()).settings();
  settings.reloadSettings();
  EXPECT_EQ(fetches, 3);
  device_.writeSettings(selecting({}));
  settings.reloadSettings();
  EXPECT_EQ(fetches, 3);
}

TEST_F(SettingsTest, TheSettingsChangedNotificationReloadsEveryProcess) {
  device_.keyboards({"A", "B"});
  device_.writeSettings(selecting({"A"}));
  device_.start("com.apple.springboard");
  device_.start("com.example.app");
  device_.writeSettings(selecting({"A", "B"}));
  EXPECT_EQ(device_.extension("com.example.app").settings().keyboardCount(), 1u);  // not yet delivered
  device_.process("com.apple.springboard").CFNotificationCenterPostNotification(kPrefsChangedNotification, true);
  device_.device().runUntilIdle();
  EXPECT_EQ(device_.extension("com.example.app").settings().keyboardCount(), 2u);
  EXPECT_EQ(device_.extension("com.apple.springboard").settings().keyboardCount(), 2u);
}

}  // namespace
}  // namespace orvane
