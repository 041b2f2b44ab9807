// The language's vocabularies are each one table, and every other list is held to it both ways:
// the reader, help, the live page and the docs to the commands' and expectations' rows, the
// handlers to the choices, the suite's trace, the docs and the pages to the table of event kinds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "cli/language/command_table.h"
#include "cli/language/scenario.h"
#include "cli/language/script_for_tests.h"
#include "cli/live/session.h"
#include "cli/output/pages.h"
#include "rig/rig.h"
#include "sim/trace/event_kinds.h"

namespace orvane::cli {
namespace {

std::string docsPage() {
  std::ifstream page(std::filesystem::path(ORVANE_SCENARIOS).parent_path().parent_path() / "docs" / "scenarios.md");
  return {std::istreambuf_iterator<char>(page), std::istreambuf_iterator<char>()};
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
      EXPECT_TRUE(seen.contains(std::string(name).append(" ").append(field)))
          << "no shipped scenario traces " << name << " with " << field;
    }
  }
}

// The kinds docs/scenarios.md lists under "The trace" are the table's, both ways, and every kind the
// pages' scripts look for ("e.kind === ...", "case ...:", a prefix or a pattern of kinds) is one.
TEST(ScenarioLanguage, TheDocsAndThePagesNameTheTablesKinds) {
  const std::string docs = docsPage();
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

// The command table is the one list of words: the scenario reader takes exactly its scenario rows,
// the live page exactly the rows it may send, and the language's page documents every scenario row.
TEST(ScenarioLanguage, EveryListIsTheTable) {
  const std::string documented = docsPage();
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
    // A command a scenario may hold is carried out by its handler; the shell runs its own.
    EXPECT_EQ(row.handler != nullptr, row.inScenarios) << word;
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
    EXPECT_NE(row.handler, nullptr) << word;
    rig::Rig device;
    std::string errors;
    runScript(device, "expect " + word + "\n", &errors);
    EXPECT_EQ(errors.find("unknown expectation"), std::string::npos) << word << ": " << errors;
    EXPECT_NE(documented.find("`expect " + word), std::string::npos) << word << " is not in docs/scenarios.md";
    std::string usage = "expect " + word;
    if (!row.usage.empty()) usage.append(" ").append(row.usage);
    EXPECT_NE(commandHelp("expect").find(usage + "\n"), std::string::npos) << word;
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
        const std::string line = std::string(before).append(" ").append(choice).append(after);
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

namespace orvane::cli {
namespace {

// Every line the language cannot run shows where: whatever a command is given that it cannot take
// (no words, a word too many, a number that is not one, a process that does not run), the message
// comes with the line and a caret under a word of it.
TEST(ScenarioLanguage, EveryLineThatCannotRunHasItsCaret) {
  const std::vector<std::string> tails = {
      "", " nowhere.app", " com.example.app x y z 1 2 3 4 5 6", " abc", " 0", " -1", " {", " \"unended"};
  int lines = 0;
  for (const CommandRow& row : commandRows()) {
    if (!row.inScenarios) continue;
    for (const std::string& tail : tails) {
      rig::Rig rig;
      std::string errors;
      const std::string line = std::string(row.word) + tail;
      if (runScript(rig, "keyboards en_US fr_FR\nstart com.example.app\n" + line + "\n", &errors) != 2) continue;
      ++lines;
      EXPECT_NE(errors.find("\n    " + line + "\n"), std::string::npos) << line << ": " << errors;
      EXPECT_NE(errors.find("^\n"), std::string::npos) << line << " has no caret: " << errors;
    }
  }
  EXPECT_GT(lines, 60);
}

}  // namespace
}  // namespace orvane::cli
