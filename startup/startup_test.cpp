#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "rig/rig.h"
#include "settings/commands.h"
#include "startup/orvane.h"

namespace orvane {
namespace {

using ::testing::ElementsAre;

TEST(KeyboardListenerName, IsTheIdentifierUpToTheFirstAt) {
  EXPECT_EQ(keyboardListenerName("en_US@hw=US;sw=QWERTY"), "en_US");
  EXPECT_EQ(keyboardListenerName("ko_KR"), "ko_KR");
  EXPECT_EQ(keyboardListenerName("a@b@c"), "a");
  EXPECT_EQ(keyboardListenerName("@x"), "");
}

class VersionChoice : public ::testing::TestWithParam<double> {};

TEST_P(VersionChoice, ExactlyOneNextKeyboardStepIsReplaced) {
  rig::Rig device;
  device.device().setVersion(GetParam());
  sim::LocalProcess& app = device.start("com.example.app");
  // The form the system's keyboard has: the plain step up to 793.0, the one with a context above.
  const bool plain = GetParam() <= 793.0;
  const auto& hooks = app.installedHooks();
  auto has = [&](const std::string& target) { return std::find(hooks.begin(), hooks.end(), target) != hooks.end(); };
  EXPECT_EQ(has("UIKeyboardImpl setInputModeToNextInPreferredList"), plain);
  EXPECT_EQ(has("UIKeyboardImpl setInputModeToNextInPreferredListWithExecutionContext:"), !plain);
  // Every other row of the table, in its order; no lock screen outside SpringBoard.
  EXPECT_THAT(std::vector<std::string>(hooks.begin(), hooks.begin() + 4),
              ElementsAre("UIApplicationMain", "UIInputSwitcherView inputModes", "UIKBTree displayString",
                          "UIKeyboardLayoutStar touchUp:"));
  EXPECT_EQ(hooks.size(), 5u);
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionChoice,
                         ::testing::Values(793.0, 793.1, 847.2, 1140.1, 792.9, 1240.1, 1348.0));

// A keyboard class with one form is hooked on that form whatever the version says (a 32-bit system
// of version 847.2 has only the plain step); with both forms, the version rule chooses.
TEST(StartUp, TheStepReplacedIsTheFormTheClassHasOrTheVersionsWhenItHasBoth) {
  struct Case {
    sim::KeyboardStepForms forms;
    double version;
    bool plainReplaced;
  };
  for (const Case& c : {Case{{true, false}, 847.2, true}, Case{{false, true}, 793.0, false},
                        Case{{true, true}, 793.0, true}, Case{{true, true}, 1240.1, false}}) {
    rig::Rig device;
    device.device().setVersion(c.version);
    device.device().setKeyboardStepForms(c.forms);
    const auto& hooks = device.start("com.example.app").installedHooks();
    auto has = [&](const std::string& target) { return std::find(hooks.begin(), hooks.end(), target) != hooks.end(); };
    EXPECT_EQ(has("UIKeyboardImpl setInputModeToNextInPreferredList"), c.plainReplaced) << c.version;
    EXPECT_EQ(has("UIKeyboardImpl setInputModeToNextInPreferredListWithExecutionContext:"), !c.plainReplaced)
        << c.version;
  }
}

TEST(StartUp, SpringBoardWithActivatorLogsThenRegistersInOrder) {
  rig::Rig device;
  device.device().setActivatorInstalled(true);
  device.keyboards({"en_US@hw=US;sw=QWERTY", "emoji@sw=Emoji", "ko_KR", "en_US@sw=Dvorak"});
  device.start("com.apple.springboard");
  EXPECT_THAT(device.events("log"),
              ElementsAre("[SpringBoard] log \"\\e[1;35m[Orvane] ACTIVATOR INSTALLED - SUPPORT ENABLED\\e[0m\""));
  std::vector<std::string> names;
  std::size_t logAt = 0;
  std::size_t firstRegistrationAt = 0;
  for (const auto& e : device.device().trace().events()) {
    if (e.kind == "log") logAt = e.seq;
    if (e.kind == "activator-register") {
      names.push_back(*e.field("name"));
      if (firstRegistrationAt == 0) firstRegistrationAt = e.seq;
    }
  }
  EXPECT_LT(logAt, firstRegistrationAt);
  EXPECT_THAT(names, ElementsAre("net.varnholt.orvane.change-mode", "net.varnholt.orvane.change-autocorrection",
                                 "net.varnholt.orvane.change-keyboard", "en_US", "emoji", "ko_KR", "en_US"));
}

TEST(StartUp, ActivatorInAnApplicationIsSilent) {
  rig::Rig device;
  device.device().setActivatorInstalled(true);
  device.keyboards({"en_US"});
  sim::LocalProcess& app = device.start("com.example.app");
  EXPECT_TRUE(app.logLines().empty());
  EXPECT_TRUE(device.events("activator-register").empty());
  EXPECT_EQ(app.installedHooks().size(), 5u);
}

TEST(StartUp, WithoutActivatorEveryProcessSaysSoAndStillInstallsEverything) {
  rig::Rig device;
  device.keyboards({"en_US"});
  for (const char* id : {"com.apple.springboard", "com.example.app"}) {
    sim::LocalProcess& p = device.start(id);
    EXPECT_THAT(p.logLines(), ElementsAre("\x1b[1;35m[Orvane] ACTIVATOR NOT INSTALLED - SUPPORT DISABLED\x1b[0m"));
    EXPECT_EQ(p.installedHooks().size(), p.isSpringBoard() ? 6u : 5u);
    EXPECT_TRUE(p.observesDarwin("net.varnholt.orvane/prefsChanged"));
  }
  EXPECT_TRUE(device.events("activator-register").empty());
}

TEST(StartUp, ApplicationMainReturnsExactlyWhatTheSystemReturns) {
  for (int status : {0, 42, -1}) {
    rig::Rig device;
    device.device().setApplicationMainStatus(status);
    device.start("com.example.app");
    EXPECT_THAT(device.events("main-returned"),
                ElementsAre("[com.example.app] main-returned " + std::to_string(status)));
  }
}

}  // namespace
}  // namespace orvane
