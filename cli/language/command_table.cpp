#include "cli/language/command_table.h"

#include <algorithm>
#include <array>

#include "runner.h"

namespace orvane::cli {

namespace {

// The shell's own commands have no handler: the shell runs them.
using Impl = ScenarioRunner::Impl;
constexpr std::array kCommandRows = {
    CommandRow{.word = "help",
               .usage = "help [COMMAND]",
               .summary = "this list, or what it says of one command",
               .section = Section::kShell,
               .inScenarios = false},
    CommandRow{.word = "quit",
               .usage = "quit",
               .summary = "leave the shell (also end of input)",
               .section = Section::kShell,
               .inScenarios = false},
    CommandRow{.word = "exit",
               .usage = "exit",
               .summary = "leave the shell, as quit",
               .section = Section::kShell,
               .inScenarios = false},
    CommandRow{.word = "reset",
               .usage = "reset",
               .summary = "a fresh device",
               .section = Section::kShell,
               .inScenarios = false},
    CommandRow{.word = "state",
               .usage = "state [--json]",
               .summary = "the device's state (processes, keyboards, settings, alerts on screen)",
               .section = Section::kShell,
               .livePage = true,
               .handler = &Impl::showState},
    CommandRow{.word = "source",
               .usage = "source FILE",
               .summary = "run the lines of a scenario file here",
               .section = Section::kShell,
               .inScenarios = false},
    CommandRow{.word = "save",
               .usage = "save FILE",
               .summary = "write this session's lines (since the last reset) as a scenario",
               .section = Section::kShell,
               .inScenarios = false},
    CommandRow{.word = "show",
               .usage = "show file PATH | pref DOMAIN",
               .summary = "a device file or a preference domain, in readable form",
               .section = Section::kShell,
               .choices = "file pref",
               .handler = &Impl::showContents},
    CommandRow{.word = "version",
               .usage = "version NUMBER",
               .summary = "the system version (default 1240.1)",
               .section = Section::kSetUp,
               .livePage = true,
               .handler = &Impl::version},
    CommandRow{.word = "keyboard-methods",
               .usage = "keyboard-methods plain|context|both|version",
               .summary = "the next-keyboard steps the keyboard class has",
               .section = Section::kSetUp,
               .choices = "plain context both version",
               .handler = &Impl::keyboardMethods},
    CommandRow{.word = "activator",
               .usage = "activator installed|absent | fire NAME | ask NAME QUESTION [ARGUMENT]",
               .summary = "Activator's library on the device or off it; an event sent, a question asked",
               .section = Section::kSetUp,
               .livePage = true,
               .choices = "installed absent fire ask",
               .handler = &Impl::activator},
    CommandRow{.word = "keyboards",
               .usage = "keyboards ID[=\"Name\"]...",
               .summary = "the enabled keyboards, in the system's order",
               .section = Section::kSetUp,
               .livePage = true,
               .handler = &Impl::keyboards},
    CommandRow{.word = "settings",
               .usage = "settings write|write-xml|set|remove|delete|bytes ...",
               .summary = "the settings file",
               .section = Section::kSetUp,
               .livePage = true,
               .choices = "write write-xml set remove delete bytes",
               .handler = &Impl::settings},
    CommandRow{.word = "file",
               .usage = "file write|write-xml|bytes|delete PATH ...",
               .summary = "any device file",
               .section = Section::kSetUp,
               .choices = "write write-xml bytes delete",
               .handler = &Impl::file},
    CommandRow{.word = "pref",
               .usage = "pref set|remove DOMAIN KEY [VALUE]",
               .summary = "one preference",
               .section = Section::kSetUp,
               .choices = "set remove",
               .handler = &Impl::pref},
    CommandRow{.word = "app-icon",
               .usage = "app-icon DISPLAYID SIZE [cgimage|ciimage|empty]",
               .summary = "an icon AppList holds",
               .section = Section::kSetUp,
               .livePage = true,
               .choices = "cgimage ciimage empty",
               .choiceAt = 2,
               .handler = &Impl::appIcon},
    CommandRow{.word = "fault",
               .usage = "fault write|flush|rename|read-only|full [TIMES] | none",
               .summary = "the file layer fails",
               .section = Section::kSetUp,
               .choices = "write flush rename read-only full none",
               .handler = &Impl::fault},
    CommandRow{.word = "start",
               .usage = "start PROCESS [returns STATUS]",
               .summary = "a process starts, the extension loaded into it",
               .section = Section::kProcesses,
               .livePage = true,
               .handler = &Impl::start},
    CommandRow{.word = "stop",
               .usage = "stop PROCESS",
               .summary = "the process ends, writing what it set",
               .section = Section::kProcesses,
               .takesProcess = true,
               .livePage = true,
               .handler = &Impl::stop},
    CommandRow{.word = "kill",
               .usage = "kill PROCESS [mid-write]",
               .summary = "the process is killed (now, or in its next file write)",
               .section = Section::kProcesses,
               .takesProcess = true,
               .handler = &Impl::endProcess},
    CommandRow{.word = "crash",
               .usage = "crash PROCESS",
               .summary = "the process crashes",
               .section = Section::kProcesses,
               .takesProcess = true,
               .handler = &Impl::endProcess},
    CommandRow{.word = "hang",
               .usage = "hang PROCESS",
               .summary = "the process stops answering, and is killed as hung",
               .section = Section::kProcesses,
               .takesProcess = true,
               .handler = &Impl::endProcess},
    CommandRow{.word = "suspend",
               .usage = "suspend APP",
               .summary = "the application goes to the background",
               .section = Section::kProcesses,
               .takesProcess = true,
               .livePage = true,
               .handler = &Impl::suspendOrResume},
    CommandRow{.word = "resume",
               .usage = "resume APP",
               .summary = "the application comes back",
               .section = Section::kProcesses,
               .takesProcess = true,
               .livePage = true,
               .handler = &Impl::suspendOrResume},
    CommandRow{.word = "show-keyboard",
               .usage = "show-keyboard PROCESS",
               .summary = "the keyboard appears",
               .section = Section::kProcesses,
               .takesProcess = true,
               .livePage = true,
               .handler = &Impl::showOrHideKeyboard},
    CommandRow{.word = "hide-keyboard",
               .usage = "hide-keyboard PROCESS",
               .summary = "the keyboard goes",
               .section = Section::kProcesses,
               .takesProcess = true,
               .livePage = true,
               .handler = &Impl::showOrHideKeyboard},
    CommandRow{.word = "tap",
               .usage = "tap PROCESS globe|KEY|nowhere",
               .summary = "a touch on a key of the keyboard",
               .section = Section::kProcesses,
               .takesProcess = true,
               .livePage = true,
               .handler = &Impl::tap},
    CommandRow{.word = "next-keyboard",
               .usage = "next-keyboard PROCESS",
               .summary = "the system's next-keyboard step",
               .section = Section::kProcesses,
               .takesProcess = true,
               .livePage = true,
               .handler = &Impl::nextKeyboard},
    CommandRow{.word = "switcher",
               .usage = "switcher PROCESS",
               .summary = "the switcher menu's list",
               .section = Section::kProcesses,
               .takesProcess = true,
               .livePage = true,
               .handler = &Impl::switcher},
    CommandRow{.word = "long-press",
               .usage = "long-press PROCESS",
               .summary = "a long press on the globe key: the switcher menu's list",
               .section = Section::kProcesses,
               .takesProcess = true,
               .livePage = true,
               .handler = &Impl::switcher},
    CommandRow{.word = "choose",
               .usage = "choose PROCESS KEYBOARD",
               .summary = "an entry of the switcher menu on screen is chosen",
               .section = Section::kProcesses,
               .takesProcess = true,
               .livePage = true,
               .handler = &Impl::choose},
    CommandRow{.word = "label",
               .usage = "label PROCESS [KEY]",
               .summary = "a key's label (the globe key's by default)",
               .section = Section::kProcesses,
               .takesProcess = true,
               .livePage = true,
               .handler = &Impl::label},
    CommandRow{.word = "unlock",
               .usage = "unlock",
               .summary = "the lock screen is unlocked",
               .section = Section::kProcesses,
               .livePage = true,
               .handler = &Impl::unlock},
    CommandRow{.word = "lock",
               .usage = "lock",
               .summary = "the device locks: SpringBoard shows its lock screen again",
               .section = Section::kProcesses,
               .livePage = true,
               .handler = &Impl::lock},
    CommandRow{.word = "dismiss",
               .usage = "dismiss PROCESS",
               .summary = "the alert on top is dismissed",
               .section = Section::kProcesses,
               .takesProcess = true,
               .livePage = true,
               .handler = &Impl::dismiss},
    CommandRow{.word = "post",
               .usage = "post PROCESS darwin|distributed NAME [USERINFO]",
               .summary = "a notification posted",
               .section = Section::kProcesses,
               .takesProcess = true,
               .livePage = true,
               .choices = "darwin distributed",
               .handler = &Impl::post},
    CommandRow{.word = "run",
               .usage = "run",
               .summary = "run every main queue until none has work",
               .section = Section::kProcesses,
               .livePage = true,
               .handler = &Impl::runQueues},
    CommandRow{.word = "say",
               .usage = "say TEXT",
               .summary = "narration in the trace",
               .section = Section::kProcesses,
               .livePage = true,
               .handler = &Impl::say},
    CommandRow{.word = "mark",
               .usage = "mark",
               .summary = "expectations look for events from here on",
               .section = Section::kProcesses,
               .livePage = true,
               .handler = &Impl::mark},
    CommandRow{.word = "expect",
               .usage = {},
               .summary = "",
               .section = Section::kExpectations,
               .livePage = true,
               .handler = &Impl::expect},
};

constexpr std::array kExpectationRows = {
    ExpectationRow{.word = "input-mode",
                   .usage = "PROCESS ID",
                   .handler = &Impl::expectInputMode,
                   .takesProcess = true,
                   .then = Then::kKeyboard},
    ExpectationRow{
        .word = "alert", .usage = "PROCESS TITLE MESSAGE BUTTON", .handler = &Impl::expectAlert, .takesProcess = true},
    ExpectationRow{.word = "no-alert", .usage = "PROCESS", .handler = &Impl::expectNoMoreOf, .takesProcess = true},
    ExpectationRow{.word = "log", .usage = "PROCESS TEXT", .handler = &Impl::expectLog, .takesProcess = true},
    ExpectationRow{.word = "no-log", .usage = "PROCESS", .handler = &Impl::expectNoMoreOf, .takesProcess = true},
    ExpectationRow{.word = "hook",
                   .usage = "PROCESS CLASS SELECTOR | PROCESS FUNCTION",
                   .handler = &Impl::expectHook,
                   .takesProcess = true},
    ExpectationRow{.word = "no-hook",
                   .usage = "PROCESS CLASS SELECTOR | PROCESS FUNCTION",
                   .handler = &Impl::expectHook,
                   .takesProcess = true},
    ExpectationRow{.word = "pref", .usage = "DOMAIN KEY VALUE", .handler = &Impl::expectPref},
    ExpectationRow{.word = "no-pref", .usage = "DOMAIN KEY", .handler = &Impl::expectPref},
    ExpectationRow{.word = "setting", .usage = "KEY VALUE", .handler = &Impl::expectSetting},
    ExpectationRow{.word = "no-setting", .usage = "KEY", .handler = &Impl::expectSetting},
    ExpectationRow{.word = "settings-format", .usage = "xml|binary", .handler = &Impl::expectFormat},
    ExpectationRow{.word = "file-format", .usage = "PATH xml|binary", .handler = &Impl::expectFormat},
    ExpectationRow{.word = "file", .usage = "PATH", .handler = &Impl::expectFile},
    ExpectationRow{.word = "no-file", .usage = "PATH", .handler = &Impl::expectFile},
    ExpectationRow{.word = "no-temporaries", .usage = "", .handler = &Impl::expectNoTemporaries},
    ExpectationRow{.word = "switcher", .usage = "PROCESS LIST", .handler = &Impl::expectSwitcher, .takesProcess = true},
    ExpectationRow{.word = "label", .usage = "PROCESS TEXT", .handler = &Impl::expectLabel, .takesProcess = true},
    ExpectationRow{.word = "event",
                   .usage = "PROCESS|* KIND [FIELD=VALUE...]",
                   .handler = &Impl::expectEvent,
                   .takesProcess = true,
                   .then = Then::kEventKind},
    ExpectationRow{.word = "no-event",
                   .usage = "PROCESS|* KIND [FIELD=VALUE...]",
                   .handler = &Impl::expectEvent,
                   .takesProcess = true,
                   .then = Then::kEventKind},
};

// "expect input-mode|alert|...": the words joined, in lines of at most 100 columns after the indent.
std::string expectUsage() {
  constexpr std::size_t kWidth = 100;
  constexpr std::string_view kIndent = "         ";
  std::string out = "expect ";
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i < kExpectationRows.size(); ++i) {
    const std::string word = std::string(kExpectationRows[i].word) + (i + 1 < kExpectationRows.size() ? "|" : " ...");
    if (2 + out.size() - lineStart + word.size() > kWidth) {
      out.append("\n").append(kIndent);
      lineStart = out.size() - kIndent.size();
    }
    out += word;
  }
  return out;
}

constexpr std::string_view headingOf(Section section) {
  switch (section) {
    case Section::kShell:
      return "shell commands:";
    case Section::kSetUp:
      return "setting up the device:";
    case Section::kProcesses:
      return "processes and events:";
    case Section::kExpectations:
      return "expectations:";
  }
  return "";
}

std::string line(const CommandRow& row) {
  // The summary starts at a column of its own, or on the next line under it after a long usage.
  constexpr std::size_t kColumn = 32;
  std::string out = "  " + usageOf(row);
  if (!row.summary.empty()) {
    out += out.size() + 2 <= kColumn ? std::string(kColumn - out.size(), ' ') : "\n" + std::string(kColumn, ' ');
    out += row.summary;
  }
  return out + "\n";
}

}  // namespace

std::span<const CommandRow> commandRows() { return kCommandRows; }

std::span<const ExpectationRow> expectationRows() { return kExpectationRows; }

const ExpectationRow* expectationRow(std::string_view word) {
  const auto it = std::find_if(kExpectationRows.begin(), kExpectationRows.end(),
                               [word](const ExpectationRow& r) { return r.word == word; });
  return it == kExpectationRows.end() ? nullptr : &*it;
}

std::vector<std::string> expectationWords() {
  std::vector<std::string> out;
  out.reserve(kExpectationRows.size());
  for (const ExpectationRow& row : kExpectationRows) out.emplace_back(row.word);
  return out;
}

std::string usageOf(const CommandRow& row) { return row.usage.empty() ? expectUsage() : std::string(row.usage); }

const CommandRow* commandRow(std::string_view word) {
  const auto it =
      std::find_if(kCommandRows.begin(), kCommandRows.end(), [word](const CommandRow& r) { return r.word == word; });
  return it == kCommandRows.end() ? nullptr : &*it;
}

std::vector<std::string> commandChoices(std::string_view word) {
  const CommandRow* row = commandRow(word);
  return row == nullptr ? std::vector<std::string>() : spaceSeparated(row->choices);
}

std::string_view sectionHeading(Section section) { return headingOf(section); }

std::vector<std::string> spaceSeparated(std::string_view words) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < words.size();) {
    const std::size_t end = std::min(words.find(' ', at), words.size());
    if (end > at) out.emplace_back(words.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

std::vector<std::string> commandWords(bool (*keep)(const CommandRow&)) {
  std::vector<std::string> out;
  for (const CommandRow& row : kCommandRows) {
    if (keep(row)) out.emplace_back(row.word);
  }
  return out;
}

std::string commandHelp() {
  std::string out;
  const CommandRow* previous = nullptr;
  for (const CommandRow& row : kCommandRows) {
    if (previous == nullptr || previous->section != row.section) out += std::string(headingOf(row.section)) + "\n";
    out += line(row);
    previous = &row;
  }
  return out +
         "The language is described in scenarios.md: docs/ in the source, share/doc/orvane once installed\n"
         "(man orvane-sim gives it in brief).\n";
}

std::string commandHelp(std::string_view word) {
  const CommandRow* row = commandRow(word);
  if (row == nullptr) return "";
  std::string out = line(*row);
  if (row->usage.empty()) {
    for (const ExpectationRow& each : kExpectationRows) {
      out.append("    expect ").append(each.word).append(each.usage.empty() ? "" : " ").append(each.usage) += '\n';
    }
  }
  return out;
}

}  // namespace orvane::cli
