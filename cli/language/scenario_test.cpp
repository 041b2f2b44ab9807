#include "cli/language/scenario.h"

#include <gtest/gtest.h>

#include <sstream>

#include "cli/language/script_for_tests.h"
#include "cli/live/session.h"
#include "language.h"
#include "rig/rig.h"
#include "sim/trace/value_text.h"

namespace orvane::cli {
namespace {

// `no-event` looks at what came since the last match, however often it is asked: an answer kept
// from an earlier asking never hides an event that came after it.
TEST(ScenarioLanguage, NoEventSeesEverythingSinceTheLastMatchHoweverOftenAsked) {
  rig::Rig device;
  std::string errors;
  const int status = runScript(device,
                               "keyboards en_US fr_FR\n"
                               "settings write {enabled: true, mode: 1, SelectedKeyboards: [en_US, fr_FR]}\n"
                               "start com.example.a\nshow-keyboard com.example.a\n"
                               "expect no-event com.example.a input-mode\n"  // 5: holds
                               "tap com.example.a globe\nrun\n"
                               "expect no-event com.example.a input-mode\n"  // 8: fails
                               "expect no-event com.example.a input-mode\n"  // 9: fails again
                               "expect event com.example.a input-mode identifier=fr_FR\n"
                               "expect no-event com.example.a input-mode\n"        // 11: holds
                               "expect no-event * input-mode identifier=fr_FR\n",  // 12: holds
                               &errors);
  EXPECT_EQ(status, 1);
  EXPECT_NE(errors.find("test:8:"), std::string::npos) << errors;
  EXPECT_NE(errors.find("test:9:"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("test:5:"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("test:11:"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("test:12:"), std::string::npos) << errors;
}

TEST(ScenarioLanguage, AHeldExpectationExitsZero) {
  rig::Rig device;
  EXPECT_EQ(runScript(device, "keyboards en_US fr_FR\nstart com.example.a\nexpect input-mode com.example.a en_US\n"),
            0);
}

TEST(ScenarioLanguage, AFailedExpectationSaysWhereWhatAndWhatWasFoundAndExitsOne) {
  rig::Rig device;
  std::string errors;
  const int status = runScript(device,
                               "keyboards en_US fr_FR\nstart com.example.a\nexpect input-mode com.example.a fr_FR\n"
                               "expect setting mode 2\nexpect input-mode com.example.a en_US\n",
                               &errors);
  EXPECT_EQ(status, 1);
  EXPECT_NE(errors.find("test:3: expected input mode fr_FR in com.example.a, found en_US"), std::string::npos)
      << errors;
  EXPECT_NE(errors.find("test:4: expected setting mode = 2, found no readable settings file"), std::string::npos)
      << errors;
}

TEST(ScenarioLanguage, ABadLineStopsTheRunWithItsPlaceAndExitsTwo) {
  for (const char* bad :
       {"frobnicate", "tap com.example.none globe", "settings write {mode: ", "version x", "expect event", "start",
        "post springboard sideways x", "file write ../x 1", "pref set a/b k 1", "tap springboard \"unterminated",
        "suspend springboard", "resume springboard", "\"\"", "\"\" x", "settings write {mode: 18446744073709551616}",
        "pref set com.example k 1e999", "pref set com.example k -9223372036854775809"}) {
    rig::Rig device;
    std::string errors;
    const std::string script = std::string("start springboard\n") + bad + "\nexpect input-mode springboard nothing\n";
    EXPECT_EQ(runScript(device, script, &errors), 2) << bad;
    EXPECT_EQ(errors.rfind("test:2: ", 0), 0u) << bad << " -> " << errors;
  }
}

// Only an entry of the switcher menu on screen can be chosen: not one the menu leaves out, not
// before the menu is asked for, not after a choice closed it or the keyboard went.
TEST(ScenarioLanguage, AChoiceNeedsTheMenuOnScreenAndAnEntryItLists) {
  const std::string setUp =
      "keyboards en_US fr_FR de_DE\nsettings write {mode: 2, SelectedKeyboards: [fr_FR]}\n"
      "start com.example.a\nshow-keyboard com.example.a\nrun\n";
  // The agent closes the menu when the mode action asks it to.
  const std::string closedByTheAgent =
      "long-press com.example.a\npost com.example.a distributed net.varnholt.closeKeyboardMenu\nrun\n";
  // Each refusal says which it was: the menu on screen leaves the keyboard out, or no menu is.
  constexpr std::string_view kLeftOut = "the switcher menu of com.example.a lists en_US and de_DE, not fr_FR";
  constexpr std::string_view kNoMenu = "no switcher menu is on screen in com.example.a";
  for (const auto& [refused, said] : std::vector<std::pair<std::string, std::string_view>>{
           {"long-press com.example.a\nchoose com.example.a fr_FR", kLeftOut},
           {"choose com.example.a de_DE", kNoMenu},
           {"long-press com.example.a\nchoose com.example.a de_DE\nchoose com.example.a en_US", kNoMenu},
           {"long-press com.example.a\nhide-keyboard com.example.a\nchoose com.example.a en_US", kNoMenu},
           {closedByTheAgent + "choose com.example.a en_US", kNoMenu}}) {
    rig::Rig device;
    std::string errors;
    EXPECT_EQ(runScript(device, setUp + refused + "\n", &errors), 2) << refused;
    EXPECT_NE(errors.find(said), std::string::npos) << refused << " -> " << errors;
  }
  rig::Rig device;
  EXPECT_EQ(runScript(device, setUp + "long-press com.example.a\nchoose com.example.a de_DE\n"
                                      "expect input-mode com.example.a de_DE\n"),
            0);
}

// The settings pane shows what the extension reads: each key as its own functions read it, the
// documented default where the file has no reading, and which keys took it.
TEST(LiveSettingsPane, ShowsWhatTheExtensionReadsAndWhichKeysTookTheirDefault) {
  const auto reads = [](const std::string& settings) {
    const std::string state = settings.empty() ? "{processes: []}" : "{processes: [], settings: " + settings + "}";
    return LiveSession::settingsRead(*sim::parseValueText(state).value);
  };
  EXPECT_EQ(reads(""), R"({"enabled":true,"mode":1,"icon":1,"DefaultKeyboard":null,"SelectedKeyboards":[],)"
                       R"("defaults":["enabled","mode","icon"]})");
  // A stored false and a stored 0 are readings, not defaults; a value of a type with no reading is
  // the default; only strings name keyboards.
  EXPECT_EQ(
      reads(R"({enabled: false, mode: 0, icon: [2], DefaultKeyboard: 5, SelectedKeyboards: [en_US, 7, "fr_FR"]})"),
      R"({"enabled":false,"mode":0,"icon":1,"DefaultKeyboard":null,"SelectedKeyboards":["en_US","fr_FR"],)"
      R"("defaults":["icon"]})");
  EXPECT_EQ(reads(R"({mode: "2", DefaultKeyboard: de_DE, SelectedKeyboards: "en_US"})"),
            R"({"enabled":true,"mode":2,"icon":1,"DefaultKeyboard":"de_DE","SelectedKeyboards":[],)"
            R"("defaults":["enabled","icon"]})");
}

// A death in the middle of a write that would never come is refused: an application never writes
// a file itself.
TEST(ScenarioLanguage, ADeathMidWriteOfAProcessThatNeverWritesIsRefused) {
  rig::Rig device;
  std::string errors;
  EXPECT_EQ(runScript(device, "start com.example.a\nkill com.example.a mid-write\n", &errors), 2);
  EXPECT_NE(errors.find("only SpringBoard writes files of its own"), std::string::npos) << errors;
  EXPECT_NE(device.device().find("com.example.a"), nullptr) << "nothing was done to it";
}

TEST(ScenarioLanguage, EventExpectationsFollowTheOrderOfTheTrace) {
  rig::Rig device;
  const std::string setup =
      "keyboards en_US\nstart springboard\npost springboard darwin a\npost springboard darwin b\n";
  EXPECT_EQ(runScript(device, setup + "expect event springboard darwin-post name=a\n"
                                      "expect event springboard darwin-post name=b\n"),
            0);
  rig::Rig reversed;
  EXPECT_EQ(runScript(reversed, setup + "expect event springboard darwin-post name=b\n"
                                        "expect event springboard darwin-post name=a\n"),
            1);
}

}  // namespace
}  // namespace orvane::cli

namespace orvane::cli {
namespace {

TEST(ScenarioLanguage, AWriteThatDoesNotHappenStopsTheRunAndIsNeverTracedAsDone) {
  struct Case {
    const char* setup;
    const char* line;
    const char* message;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"fault read-only", "pref set com.example k 1", "cannot write k to com.example"},
           {"", "pref set com.example k \"\\xff\"", "cannot write k to com.example"},
           {"fault read-only", "keyboards en_US", "cannot store the enabled keyboards"},
           {"", "keyboards en_US \"\\xff\"", "cannot store the enabled keyboards"},
           {"fault write", "settings write {mode: 1}",
            "cannot write /var/mobile/Library/Preferences/net.varnholt.orvane.plist"},
           {"", "settings write-xml {k: null()}", "cannot be stored as an XML property list"},
           {"settings bytes garbage", "settings set mode 2", "does not read as a dictionary"},
       }) {
    rig::Rig device;
    std::string errors;
    const std::string script = std::string(c.setup) + "\n" + c.line + "\n";
    EXPECT_EQ(runScript(device, script, &errors), 2) << c.line;
    EXPECT_EQ(errors.rfind("test:2: ", 0), 0u) << c.line << " -> " << errors;
    EXPECT_NE(errors.find(c.message), std::string::npos) << c.line << " -> " << errors;
    EXPECT_TRUE(device.events("pref-set").empty()) << c.line;
    EXPECT_TRUE(device.events("file-write").empty() || std::string(c.setup).starts_with("settings bytes")) << c.line;
  }
  // Keyboards that could not be stored leave the device's keyboards as they were.
  rig::Rig device;
  EXPECT_EQ(runScript(device, "keyboards en_US fr_FR\nkeyboards de_DE \"\\xff\"\n"), 2);
  ASSERT_EQ(device.device().activeInputModes().size(), 2u);
  EXPECT_EQ(device.device().activeInputModes()[1].identifier, "fr_FR");
}

TEST(ScenarioLanguage, NumbersAreRangeCheckedNeverConvertedOutOfRange) {
  for (const char* bad :
       {"fault write 1e30", "fault write 0", "fault write -1", "fault write 2.5", "app-icon com.example.a 1e30",
        "app-icon com.example.a -3", "version inf", "version nan", "version -1", "version 0"}) {
    rig::Rig device;
    std::string errors;
    EXPECT_EQ(runScript(device, std::string(bad) + "\n", &errors), 2) << bad;
    EXPECT_EQ(errors.rfind("test:1: ", 0), 0u) << bad << " -> " << errors;
  }
  rig::Rig device;
  EXPECT_EQ(runScript(device, "fault write 2\napp-icon com.example.a 60 empty\nversion 793\n"), 0);
}

}  // namespace
}  // namespace orvane::cli

namespace orvane::cli {
namespace {

// The shell's Ctrl-C: the run loop asks between tasks, and stops there with the work left queued.
TEST(ScenarioLanguage, AnInterruptedRunStopsBetweenTasksAndSaysSo) {
  rig::Rig device;
  sim::LocalProcess& app = device.start("com.example.app");
  std::function<void()> again = [&] { app.dispatchAsyncMain(again); };
  app.dispatchAsyncMain(again);
  int asked = 0;
  device.device().setInterruption([&asked] { return ++asked > 50; });
  const auto result = device.device().runUntilIdle();
  EXPECT_FALSE(result.idle);
  EXPECT_EQ(result.tasks, 50u);
  EXPECT_EQ(app.pendingTasks(), 1u);
  EXPECT_EQ(device.events("interrupted"), std::vector<std::string>{"[device] interrupted 50"});
}

TEST(ScenarioLanguage, ARunThatStopsAtTheRunawayBoundFails) {
  rig::Rig device;
  sim::LocalProcess& app = device.start("com.example.app");
  std::function<void()> again = [&] { app.dispatchAsyncMain(again); };
  app.dispatchAsyncMain(again);
  std::ostringstream out;
  std::ostringstream err;
  ScenarioRunner runner(device.device(), out, err, TraceFormat::kNone);
  EXPECT_EQ(runner.runLine("run", "test", 1), ScenarioRunner::LineResult::kFailed);
  EXPECT_EQ(runner.failures(), 1);
  EXPECT_NE(err.str().find("test:1: expected the main queues to come to rest, found work left after 100000 tasks"),
            std::string::npos)
      << err.str();
}

// Lines typed one at a time keep a bounded history: an event older than the last kHistory is no
// longer found, nor a log line older than the last kHistory of its process, so a long session
// does not grow with every start and stop. A script read whole keeps what its later lines ask for.
TEST(ScenarioLanguage, LinesTypedOneAtATimeKeepABoundedHistory) {
  const auto session = [](bool bounded) {
    rig::Rig device;
    std::ostringstream out;
    std::ostringstream err;
    ScenarioRunner runner(device.device(), out, err, TraceFormat::kNone);
    if (bounded) runner.boundHistory();
    int at = 0;
    const auto line = [&](const std::string& text) { return runner.runLine(text, "typed", ++at); };
    line("keyboards en_US fr_FR");
    line("start com.example.first");
    line("stop com.example.first");
    // Each start traces about twenty events and one log line: well past the bound.
    for (std::size_t i = 0; i * 10 < ScenarioRunner::kHistory + 1000; ++i) {
      line("start com.example.app");
      line("stop com.example.app");
    }
    return std::pair{line("expect event com.example.first start"), line("expect event com.example.app start")};
  };
  const auto [oldBounded, recentBounded] = session(true);
  EXPECT_EQ(oldBounded, ScenarioRunner::LineResult::kFailed) << "older than the last events kept";
  EXPECT_EQ(recentBounded, ScenarioRunner::LineResult::kOk);
  const auto [oldWhole, recentWhole] = session(false);
  EXPECT_EQ(oldWhole, ScenarioRunner::LineResult::kOk) << "without the bound every event since the last match stays";
  EXPECT_EQ(recentWhole, ScenarioRunner::LineResult::kOk);
}

}  // namespace
}  // namespace orvane::cli
