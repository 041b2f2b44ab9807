#include <gtest/gtest.h>

#include "rig/rig.h"
#include "startup/orvane.h"

namespace orvane {
namespace {

namespace sel = platform::sel;

class CyclingTest : public ::testing::Test {
 protected:
  sim::LocalProcess& startWith(const std::vector<std::string>& selected) {
    device_.keyboards({"en_US", "fr_FR", "de_DE"});
    Array list(selected.begin(), selected.end());
    device_.writeSettings({{"SelectedKeyboards", Value(list)}});
    return device_.start("com.example.app");
  }
  rig::Rig device_;
};

TEST_F(CyclingTest, TheContextIsFinishedBeforeTheTaskIsQueued) {
  for (const auto& selection : {std::vector<std::string>{"fr_FR", "de_DE"}, std::vector<std::string>{"de_DE"}}) {
    rig::Rig device;
    device.keyboards({"en_US", "fr_FR", "de_DE"});
    device.writeSettings({{"SelectedKeyboards", Value(Array(selection.begin(), selection.end()))}});
    sim::LocalProcess& app = device.start("com.example.app");
    decltype(sel::finishExecution)::Imp system;
    std::vector<std::size_t> pendingAtFinish;
    platform::MSHookMessageEx(
        app, app.objc_getClass("UIKeyboardTaskQueue"), sel::finishExecution,
        [&](const objc::Id& self, objc::Sel cmd) {
          pendingAtFinish.push_back(app.pendingTasks());
          system(self, cmd);
        },
        &system);
    ASSERT_TRUE(app.tapKey("International-Key"));
    EXPECT_EQ(pendingAtFinish, std::vector<std::size_t>{0});
    EXPECT_EQ(app.pendingTasks(), 1u);
  }
}

TEST_F(CyclingTest, TheCapturedKeyboardLivesUntilItsTaskHasRun) {
  sim::LocalProcess& app = startWith({"fr_FR", "de_DE"});
  objc::Id keyboard = objc::sendClass(app.objc_getClass("UIKeyboardImpl"), sel::new_);
  std::weak_ptr<objc::Object> watch = keyboard;
  objc::send(keyboard, sel::setInputModeToNextInPreferredListWithExecutionContext, objc::Id{});
  keyboard.reset();
  EXPECT_FALSE(watch.expired());
  device_.device().runUntilIdle();
  EXPECT_TRUE(watch.expired());
  // The switch went to the shared keyboard implementation, not to the captured one.
  EXPECT_EQ(app.currentInputMode(), "fr_FR");
}

TEST_F(CyclingTest, NextSelectedKeyboardIndexReadsTheStateOfTheMoment) {
  sim::LocalProcess& app = startWith({"en_US", "de_DE"});
  KeyboardCycler& cycler = device_.extension(app.bundleIdentifier()).cycler();
  EXPECT_EQ(cycler.nextSelectedKeyboardIndex(), 2);
  device_.keyboards({});
  EXPECT_EQ(cycler.nextSelectedKeyboardIndex(), std::nullopt);
  device_.keyboards({"de_DE", "en_US"});
  EXPECT_EQ(cycler.nextSelectedKeyboardIndex(), 0);  // en_US is current, at 1; de_DE at 0 comes next
  EXPECT_TRUE(cycler.isActiveIdentifier(std::string("de_DE")));
  EXPECT_FALSE(cycler.isActiveIdentifier(std::string("fr_FR")));
  EXPECT_FALSE(cycler.isActiveIdentifier(std::nullopt));
}

// Nothing read from one fetch of the active input modes serves another: each look at them asks
// every mode for its identifier again, although the platform answers the same array.
TEST_F(CyclingTest, TheIdentifiersAreReadAfreshAtEveryLook) {
  sim::LocalProcess& app = startWith({"fr_FR", "de_DE"});
  int identifierReads = 0;
  decltype(sel::valueForKey)::Imp system;
  platform::MSHookMessageEx(
      app, app.objc_getClass("UITextInputMode"), sel::valueForKey,
      [&](const objc::Id& self, objc::Sel cmd, std::string key) {
        if (key == "identifier") ++identifierReads;
        return system(self, cmd, std::move(key));
      },
      &system);
  KeyboardCycler& cycler = device_.extension(app.bundleIdentifier()).cycler();
  EXPECT_TRUE(cycler.isActiveIdentifier(std::string("de_DE")));
  EXPECT_EQ(identifierReads, 3);
  EXPECT_TRUE(cycler.isActiveIdentifier(std::string("de_DE")));
  EXPECT_EQ(identifierReads, 6);
}

TEST_F(CyclingTest, ACommitPositionBeyondTheListUsesTheFirstMode) {
  sim::LocalProcess& app = startWith({"fr_FR", "de_DE"});
  device_.extension(app.bundleIdentifier()).cycler().commitKeyboardSwitch(7, nullptr, false);
  EXPECT_EQ(app.currentInputMode(), "en_US");
  EXPECT_EQ(device_.device().preferences().copy("KeyboardLastUsed", "com.apple.Preferences"), Value("en_US"));
}

}  // namespace
}  // namespace orvane
