#include <gtest/gtest.h>

#include "activator/action_listeners.h"
#include "activator/dynamic_listener.h"
#include "platform/activator.h"
#include "rig/rig.h"
#include "sim/standins/locale.h"

namespace orvane {
namespace {

namespace sel = platform::sel;

TEST(ChangeMode, CyclesOneTwoThreeAndKeepsEverythingElse) {
  EXPECT_EQ(nextSwitchMode(1), 2);
  EXPECT_EQ(nextSwitchMode(2), 3);
  EXPECT_EQ(nextSwitchMode(3), 1);
  for (int other : {0, 4, -1, -3, 1000}) EXPECT_EQ(nextSwitchMode(other), other);
}

TEST(ChangeAutoCorrection, ThePreferenceServiceRangeIsInclusive) {
  EXPECT_FALSE(autocorrectionInPreferenceService(793.0));
  EXPECT_FALSE(autocorrectionInPreferenceService(1140.0));
  EXPECT_TRUE(autocorrectionInPreferenceService(1140.1));
  EXPECT_TRUE(autocorrectionInPreferenceService(1141.1));
  EXPECT_TRUE(autocorrectionInPreferenceService(1142.18));
  EXPECT_FALSE(autocorrectionInPreferenceService(1142.19));
}

TEST(StripListenerPrefix, RemovesEveryOccurrence) {
  EXPECT_EQ(stripListenerPrefix("en_US"), "en_US");
  EXPECT_EQ(stripListenerPrefix("net.varnholt.orvane-en_US"), "en_US");
  EXPECT_EQ(stripListenerPrefix("anet.varnholt.orvane-bnet.varnholt.orvane-"), "ab");
  EXPECT_EQ(stripListenerPrefix("net.varnholt.orvane"), "net.varnholt.orvane");
}

class DynamicListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_.device().setActivatorInstalled(true);
    device_.keyboards({"en_US"});
    springboard_ = &device_.start("com.apple.springboard");
    cls_ = springboard_->objc_getClass("DynamicListener");
    listener_ = objc::sendClass(cls_, sel::sharedListener);
  }
  rig::Rig device_;
  sim::LocalProcess* springboard_ = nullptr;
  objc::Class* cls_ = nullptr;
  objc::Id listener_;
};

TEST_F(DynamicListenerTest, TheSharedInstanceIsCreatedOnce) {
  ASSERT_TRUE(listener_);
  EXPECT_EQ(objc::sendClass(cls_, sel::sharedListener), listener_);
  EXPECT_NE(objc::sendClass(cls_, sel::new_), listener_);
}

TEST_F(DynamicListenerTest, AnIconHandedOutStaysAliveUntilTheNextOneForTheSameApplication) {
  device_.device().setAppIcon("com.example.app", 59, sim::Device::IconKind::kCGImage);
  objc::Id icon = objc::send(listener_, sel::requiresIcon, objc::Id{}, std::string("com.example.app.x"), 2.0);
  ASSERT_TRUE(icon);
  std::weak_ptr<objc::Object> first = icon;
  icon.reset();
  EXPECT_FALSE(first.expired());
  for (int i = 0; i < 100; ++i)
    objc::send(listener_, sel::requiresIcon, objc::Id{}, std::string("com.example.app.x"), 2.0);
  EXPECT_TRUE(first.expired());  // replaced, not piled up
}

TEST_F(DynamicListenerTest, TitleAndDescriptionFallBackToTheNameWhenNothingNamesIt) {
  EXPECT_EQ(objc::send(listener_, sel::langFromLocale, std::string("123456")), std::nullopt);
  EXPECT_EQ(objc::send(listener_, sel::requiresLocalizedTitle, objc::Id{}, std::string("123456")), "123456");
  EXPECT_EQ(objc::send(listener_, sel::requiresLocalizedDescription, objc::Id{}, std::string("123456")),
            "Changes the keyboard to 123456");
}

TEST_F(DynamicListenerTest, LangFromLocaleTakesTheInputModesNameOnlyForLongNames) {
  device_.keyboards({"en_US", "Emoji", "de_DE_x"});
  EXPECT_EQ(objc::send(listener_, sel::langFromLocale, std::string("emoji")), "Emoji");
  // Five characters: the locale path, although an input mode has exactly that identifier.
  EXPECT_EQ(objc::send(listener_, sel::langFromLocale, std::string("en_US")), "English (United States)");
  EXPECT_EQ(objc::send(listener_, sel::langFromLocale, std::string("de_DE_x")), sim::keyboardDisplayName("de_DE_x"));
  // "Emoji" is not "emoji": five characters, so the locale path, where no language is called so.
  EXPECT_EQ(objc::send(listener_, sel::langFromLocale, std::string("Emoji")), std::nullopt);
}

TEST_F(DynamicListenerTest, ALongNameCutBeforeTheSuffixIsNamedByTheLocaleNotByTheInputMode) {
  // The common real case: the listener is registered under the part before "@", and the active
  // input mode's identifier still carries the suffix, so no mode matches and the locale names it,
  // in its own language.
  device_.keyboards({"en_US@hw=US;sw=QWERTY", "zh_Hans@sw=Pinyin"});
  const platform::String title = objc::send(listener_, sel::langFromLocale, std::string("zh_Hans"));
  EXPECT_EQ(title, "中文（简体）");
  EXPECT_NE(title, sim::keyboardDisplayName("zh_Hans@sw=Pinyin")) << "not the input mode's English name";
  EXPECT_EQ(objc::send(listener_, sel::requiresLocalizedDescription, objc::Id{}, std::string("zh_Hans")),
            "Changes the keyboard to 中文（简体）");
}

TEST_F(DynamicListenerTest, DeallocUnregistersOnlyWhenActivatorWasThereAtLoad) {
  objc::send(objc::sendClass(cls_, sel::new_), sel::dealloc);
  EXPECT_TRUE(device_.events("activator-unregister").empty());  // Activator was opened after the class loaded
  objc::sendClass(cls_, sel::load);
  objc::send(objc::sendClass(cls_, sel::new_), sel::dealloc);
  EXPECT_EQ(device_.events("activator-unregister"),
            std::vector<std::string>{"[SpringBoard] activator-unregister net.varnholt.orvane"});
}

}  // namespace
}  // namespace orvane
