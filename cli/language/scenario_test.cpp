#include "cli/language/scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "cli/language/command_table.h"
#include "cli/live/session.h"
#include "cli/output/pages.h"
#include "language.h"
#include "rig/rig.h"
#include "sim/plist/value_text.h"
#include "sim/trace/event_kinds.h"

namespace orvane::cli {
namespace {

// Runs a scenario script on a device; its exit status, failures into `errors`.
int runScript(rig::Rig& rig, const std::string& script, std::string* errors = nullptr) {
  std::ostringstream out;
  std::ostringstream err;
  ScenarioRunner runner(rig.device(), out, err, TraceFormat::kNone);
  std::istringstream in(script);
  const int status = runner.runScript(in, "test");
  if (errors != nullptr) *errors = err.str();
  return status;
}

// `expect event` refuses kinds and fields the trace never has, so the table it checks against must
// hold every kind and field the device and the extension really trace, and nothing they no longer
// do: every shipped scenario and the tour are run, each event checked against the table, and each
// kind and field of the table looked for among the events.
TEST(ScenarioLanguage, TheTableOfEventKindsIsWhatTheSuiteTracesBothWays) {
  std::vector<std::string> scripts = {std::string(pages::kTour)};
  for (const auto& entry : std::filesystem::directory_iterator(ORVANE_SCENARIOS)) {
    std::ifstream in(entry.path());
    scripts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GT(scripts.size(), 40u);
  std::set<std::string> seen;  // "kind" and "kind field"
  for (const std::string& script : scripts) {
    rig::Rig device;
    runScript(device, script);
    for (const sim::TraceEvent& e : device.device().trace().events()) {
      seen.insert(e.kind);
      const std::vector<std::string>* fields = sim::eventFields(e.kind);
      ASSERT_NE(fields, nullptr) << "an unlisted kind: " << sim::Trace::text(e);
      for (const auto& [key, value] : e.fields) {
        seen.insert(e.kind + " " + key);
        EXPECT_NE(std::find(fields->begin(), fields->end(), key), fields->end())
            << "an unlisted field " << key << ": " << sim::Trace::text(e);
      }
    }
  }
  for (const sim::EventKind& kind : sim::eventKindRows()) {
    if (kind.runOnly || !kind.unreachedBy.empty()) continue;
    const std::string name(kind.name);
    EXPECT_TRUE(seen.contains(name)) << "no shipped scenario traces " << name;
    for (const std::string& field : *sim::eventFields(name)) {
      EXPECT_TRUE(seen.contains(name + " " + field)) << "no shipped scenario traces " << name << " with " << field;
    }
  }
}

// The kinds docs/scenarios.md lists under "The trace" are the table's, both ways, and every kind the
// pages' scripts look for ("e.kind === ...", "case ...:", a prefix or a pattern of kinds) is one.
TEST(ScenarioLanguage, TheDocsAndThePagesNameTheTablesKinds) {
  std::ifstream page(std::filesystem::path(ORVANE_SCENARIOS).parent_path().parent_path() / "docs" / "scenarios.md");
  const std::string docs{std::istreambuf_iterator<char>(page), std::istreambuf_iterator<char>()};
  const std::size_t section = docs.find("\n## The trace\n");
  ASSERT_NE(section, std::string::npos);
  const std::string trace = docs.substr(section, docs.find("\n## ", section + 1) - section);
  std::set<std::string> documented;
  const std::regex row(R"(\n\| ((`[a-z-]+`(, )?)+) \|)");
  const std::regex name("`([a-z-]+)`");
  for (std::sregex_iterator r(trace.begin(), trace.end(), row), end; r != end; ++r) {
    const std::string cell = (*r)[1];
    for (std::sregex_iterator n(cell.begin(), cell.end(), name); n != end; ++n) documented.insert((*n)[1]);
  }
  documented.erase("kind");  // the heading of the run's own lines' table
  const std::vector<std::string> kinds = sim::eventKinds();
  for (const std::string& kind : kinds) EXPECT_TRUE(documented.contains(kind)) << kind << " is not documented";
  for (const std::string& kind : documented) {
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), kind), kinds.end()) << kind << " is documented, not traced";
  }

  const auto isKind = [&kinds](const std::string& k) {
    return std::find(kinds.begin(), kinds.end(), k) != kinds.end();
  };
  const auto isPrefix = [&kinds](const std::string& p) {
    return std::any_of(kinds.begin(), kinds.end(), [&p](const std::string& k) { return k.starts_with(p); });
  };
  std::size_t looked = 0;
  for (const std::string_view script : {pages::kDeviceScript, pages::kLiveScript, pages::kReportScript}) {
    const std::string text(script);
    const std::regex exact(R"re((?:kind === |case )"([a-z-]+)")re");
    for (std::sregex_iterator m(text.begin(), text.end(), exact), end; m != end; ++m, ++looked) {
      EXPECT_TRUE(isKind((*m)[1])) << "a page looks for the kind " << (*m)[1];
    }
    const std::regex prefix(R"re(kind\.startsWith\("([a-z-]+)"\))re");
    for (std::sregex_iterator m(text.begin(), text.end(), prefix), end; m != end; ++m, ++looked) {
      EXPECT_TRUE(isPrefix((*m)[1])) << "a page looks for kinds starting " << (*m)[1];
    }
    const std::regex pattern(R"re(/\^\(([a-z|-]+)\)[^/]*/\.test\(e\.kind\))re");
    for (std::sregex_iterator m(text.begin(), text.end(), pattern), end; m != end; ++m) {
      const std::string alternatives = (*m)[1];
      for (std::size_t at = 0; at <= alternatives.size(); ++looked) {
        const std::size_t bar = std::min(alternatives.find('|', at), alternatives.size());
        EXPECT_TRUE(isPrefix(alternatives.substr(at, bar - at))) << "a page's pattern names " << alternatives;
        at = bar + 1;
      }
    }
  }
  EXPECT_GT(looked, 40u);
}

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
  for (const std::string& refused :
       {std::string("long-press com.example.a\nchoose com.example.a fr_FR"), std::string("choose com.example.a de_DE"),
        std::string("long-press com.example.a\nchoose com.example.a de_DE\nchoose com.example.a en_US"),
        std::string("long-press com.example.a\nhide-keyboard com.example.a\nchoose com.example.a en_US"),
        closedByTheAgent + "choose com.example.a en_US"}) {
    rig::Rig device;
    std::string errors;
    EXPECT_EQ(runScript(device, setUp + refused + "\n", &errors), 2) << refused;
    EXPECT_NE(errors.find("is not on screen or does not list"), std::string::npos) << refused << " -> " << errors;
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

namespace orvane::cli {
namespace {

// The command table is the one list of words: the scenario reader takes exactly its scenario rows,
// the live page exactly the rows it may send, and the language's page documents every scenario row.
TEST(ScenarioLanguage, EveryListIsTheTable) {
  std::ifstream page(std::filesystem::path(ORVANE_SCENARIOS).parent_path().parent_path() / "docs" / "scenarios.md");
  const std::string documented{std::istreambuf_iterator<char>(page), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(documented.empty());
  for (const CommandRow& row : commandRows()) {
    const std::string word(row.word);
    rig::Rig device;
    std::string errors;
    runScript(device, word + "\n", &errors);
    if (row.inScenarios) {
      EXPECT_EQ(errors.find("unknown command"), std::string::npos) << word << ": " << errors;
      const bool inPage = documented.find("`" + word + " ") != std::string::npos ||
                          documented.find("`" + word + "`") != std::string::npos;
      EXPECT_TRUE(inPage) << word << " is not in docs/scenarios.md";
    } else {
      EXPECT_NE(errors.find("unknown command"), std::string::npos) << word << " is the shell's own";
    }
    EXPECT_EQ(LiveSession::allowed(word + " x"), row.livePage) << word;
    EXPECT_NE(commandHelp().find(usageOf(row)), std::string::npos) << word;
    EXPECT_NE(commandHelp(word).find(usageOf(row)), std::string::npos) << word;
  }
  EXPECT_FALSE(LiveSession::allowed("keybords x"));

  // Every expectation of the table is one the reader takes and the page documents, and the page
  // documents no other.
  std::set<std::string> expectations;
  for (const ExpectationRow& row : expectationRows()) {
    const std::string word(row.word);
    expectations.insert(word);
    rig::Rig device;
    std::string errors;
    runScript(device, "expect " + word + "\n", &errors);
    EXPECT_EQ(errors.find("unknown expectation"), std::string::npos) << word << ": " << errors;
    EXPECT_NE(documented.find("`expect " + word), std::string::npos) << word << " is not in docs/scenarios.md";
    const std::string usage = row.usage.empty() ? "" : " " + std::string(row.usage);
    EXPECT_NE(commandHelp("expect").find("expect " + word + usage + "\n"), std::string::npos) << word;
  }
  const std::regex documentedExpectation("`expect ([a-z-]+)");
  for (std::sregex_iterator m(documented.begin(), documented.end(), documentedExpectation), end; m != end; ++m) {
    EXPECT_TRUE(expectations.contains((*m)[1])) << "docs/scenarios.md documents expect " << (*m)[1];
  }
  std::string errors;
  rig::Rig device;
  runScript(device, "expect input-mod x y\n", &errors);
  EXPECT_NE(errors.find("unknown expectation 'input-mod' (did you mean input-mode?)"), std::string::npos) << errors;
}

// Each command's choices are what its table row lists: every one is carried out (none falls through
// to the handler's end), and a word the row does not list is refused.
TEST(ScenarioLanguage, EveryChoiceIsTheTablesBothWays) {
  std::size_t tried = 0;
  for (const CommandRow& row : commandRows()) {
    if (row.choices.empty() || !row.inScenarios) continue;
    std::string before = std::string(row.word) + (row.takesProcess ? " springboard" : "");
    for (std::size_t i = 0; i < row.choiceAt; ++i) before += " 29";
    // Alone, and with words after it: a handler reads what the choice takes before it acts on it.
    for (const std::string& choice : spaceSeparated(row.choices)) {
      for (const std::string after : {"", " com.example.d k 1"}) {
        rig::Rig device;
        std::string errors;
        const std::string line = before + " " + choice + after;
        runScript(device, "start springboard\n" + line + "\n", &errors);
        EXPECT_EQ(errors.find("unknown"), std::string::npos) << line << ": " << errors;
        EXPECT_EQ(errors.find("does not carry out"), std::string::npos) << line << ": " << errors;
        ++tried;
      }
    }
    rig::Rig device;
    std::string errors;
    runScript(device, "start springboard\n" + before + " zzz\n", &errors);
    EXPECT_NE(errors.find("unknown"), std::string::npos) << before << " zzz: " << errors;
  }
  EXPECT_GT(tried, 50u);
}

}  // namespace
}  // namespace orvane::cli
