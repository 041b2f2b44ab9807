#include "settings/guards.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string_view>

#include "rig/rig.h"
#include "settings/notices.h"

namespace orvane {
namespace {

using ::testing::ElementsAre;

struct Row {
  bool file;
  bool keyboards;
  std::optional<Value> config2;
  std::optional<Value> config1;
  bool expected;
  std::string_view notice;  // message of the alert shown, or empty
  const char* marker;       // marker written, or nullptr
};

sim::LocalProcess& startIn(rig::Rig& device, const Row& row) {
  device.keyboards({"en_US"});
  if (row.file) {
    device.writeSettings(row.keyboards ? Dictionary{{"SelectedKeyboards", Value(Array{Value("en_US")})}}
                                       : Dictionary{});
  }
  if (row.config1) device.device().preferences().set(kNotConfiguredMarker, row.config1, kWarnsDomain);
  if (row.config2) device.device().preferences().set(kNoKeyboardMarker, row.config2, kWarnsDomain);
  return device.start("com.example.app");
}

std::vector<std::string> markersWritten(rig::Rig& device) {
  std::vector<std::string> out;
  for (const auto& e : device.device().trace().events()) {
    if (e.kind == "pref-set" && *e.field("domain") == kWarnsDomain) out.push_back(*e.field("key"));
  }
  return out;
}

class GuardsTest : public ::testing::Test {
 protected:
  sim::LocalProcess& setUp(const Row& row) { return startIn(device_, row); }
  rig::Rig device_;
};

TEST_F(GuardsTest, IsConfiguredFollowsItsTruthTable) {
  const Row rows[] = {
      {true, true, std::nullopt, std::nullopt, true, {}, nullptr},
      {true, true, Value(true), Value(true), true, {}, nullptr},
      {true, false, Value(true), std::nullopt, true, {}, nullptr},
      {true, false, Value(false), std::nullopt, true, {}, nullptr},  // a stored false counts as set
      {true, false, std::nullopt, Value(true), false, kNoKeyboardMessage, "config2-Warn"},
      {false, false, std::nullopt, Value(true), false, {}, nullptr},
      {false, false, Value(true), std::nullopt, false, kNotConfiguredKeyboardMessage, "config1-Warn"},
  };
  for (const Row& row : rows) {
    rig::Rig device;
    sim::LocalProcess& app = startIn(device, row);
    EXPECT_EQ(device.extension(app.bundleIdentifier()).guards().isConfigured(), row.expected);
    if (!row.notice.empty()) {
      ASSERT_EQ(app.alerts().size(), 1u);
      EXPECT_EQ(app.alerts()[0].message, row.notice);
      EXPECT_EQ(app.alerts()[0].title, "Orvane");
      EXPECT_THAT(markersWritten(device), ElementsAre(row.marker));
    } else {
      EXPECT_TRUE(app.alerts().empty());
      EXPECT_TRUE(markersWritten(device).empty());
    }
  }
}

TEST_F(GuardsTest, IsSettingsFilePresentFollowsItsTruthTable) {
  const Row rows[] = {
      {true, false, std::nullopt, std::nullopt, true, {}, nullptr},
      {false, false, std::nullopt, Value(0), false, {}, nullptr},
      {false, false, Value(true), std::nullopt, false, kNotConfiguredActionsMessage, "config1-Warn"},
  };
  for (const Row& row : rows) {
    rig::Rig device;
    sim::LocalProcess& app = startIn(device, row);
    EXPECT_EQ(device.extension(app.bundleIdentifier()).guards().isSettingsFilePresent(), row.expected);
    ASSERT_EQ(app.alerts().size(), row.notice.empty() ? 0u : 1u);
    if (!row.notice.empty()) {
      EXPECT_EQ(app.alerts()[0].message, row.notice);
      EXPECT_EQ(app.alerts()[0].button, "Alright, I Will.");
    }
  }
}

TEST_F(GuardsTest, TheCommonPathReadsNoPreference) {
  sim::LocalProcess& app = setUp({true, true, std::nullopt, std::nullopt, true, {}, nullptr});
  Guards& guards = device_.extension(app.bundleIdentifier()).guards();
  const std::size_t before = app.preferenceReads();
  EXPECT_TRUE(guards.isConfigured());
  EXPECT_TRUE(guards.isSettingsFilePresent());
  EXPECT_EQ(app.preferenceReads(), before);
}

TEST_F(GuardsTest, TheNotConfiguredMarkerIsSharedAndEachNoticeShowsOnce) {
  sim::LocalProcess& app = setUp({false, false, std::nullopt, std::nullopt, false, {}, nullptr});
  Guards& guards = device_.extension(app.bundleIdentifier()).guards();
  EXPECT_FALSE(guards.isSettingsFilePresent());
  EXPECT_FALSE(guards.isConfigured());
  EXPECT_FALSE(guards.isSettingsFilePresent());
  ASSERT_EQ(app.alerts().size(), 1u);
  EXPECT_EQ(app.alerts()[0].message, kNotConfiguredActionsMessage);

  // The no-keyboard notice once, then the guard lets the empty selection through.
  device_.writeSettings({});
  EXPECT_FALSE(guards.isConfigured());
  EXPECT_TRUE(guards.isConfigured());
  EXPECT_TRUE(guards.isSettingsFilePresent());
  ASSERT_EQ(app.alerts().size(), 2u);
  EXPECT_EQ(app.alerts()[1].message, kNoKeyboardMessage);
  EXPECT_EQ(app.alerts()[1].button, "Ok, I understand.");
}

TEST_F(GuardsTest, TheNoticeIsShownBeforeItsMarkerIsSet) {
  setUp({false, false, std::nullopt, std::nullopt, false, {}, nullptr});
  device_.extension("com.example.app").guards().isConfigured();
  std::vector<std::string> kinds;
  for (const auto& e : device_.device().trace().events()) {
    if (e.kind == "alert" || (e.kind == "pref-set" && *e.field("domain") == kWarnsDomain)) kinds.push_back(e.kind);
  }
  EXPECT_THAT(kinds, ElementsAre("alert", "pref-set"));
}

TEST_F(GuardsTest, TheWelcomeFollowsTheFirstUnlockOnlyEvenAcrossRestarts) {
  device_.keyboards({"en_US"});
  sim::LocalProcess* springboard = &device_.start("com.apple.springboard");
  ASSERT_TRUE(springboard->unlock());
  ASSERT_EQ(springboard->alerts().size(), 1u);
  EXPECT_EQ(springboard->alerts()[0].message,
            "Thanks for using Orvane\nPlease enable it in Settings and Customize it on your way.\n"
            "You need to select at least one keyboard in settings so this tweak can work.");
  springboard->unlock();
  device_.device().stop("com.apple.springboard");
  springboard = &device_.start("com.apple.springboard");
  springboard->unlock();
  EXPECT_TRUE(springboard->alerts().empty());
  EXPECT_EQ(device_.events("unlocked").size(), 3u);
}

}  // namespace
}  // namespace orvane
