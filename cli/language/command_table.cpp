#include "cli/language/command_table.h"

#include <algorithm>
#include <array>

namespace orvane::cli {

namespace {

// Columns: word, usage, summary, section, in scenarios, takes a process, the live page may send it.
constexpr std::array kCommandRows = {
    CommandRow{"help", "help [COMMAND]", "this list, or what it says of one command", Section::kShell, false, false,
               false},
    CommandRow{"quit", "quit", "leave the shell (also end of input)", Section::kShell, false, false, false},
    CommandRow{"exit", "exit", "leave the shell, as quit", Section::kShell, false, false, false},
    CommandRow{"reset", "reset", "a fresh device", Section::kShell, false, false, false},
    CommandRow{"state", "state [--json]", "the device's state (processes, keyboards, settings, alerts on screen)",
               Section::kShell, true, false, true},
    CommandRow{"source", "source FILE", "run the lines of a scenario file here", Section::kShell, false, false, false},
    CommandRow{"save", "save FILE", "write this session's lines (since the last reset) as a scenario", Section::kShell,
               false, false, false},
    CommandRow{"show", "show file PATH | pref DOMAIN", "a device file or a preference domain, in readable form",
               Section::kShell, true, false, false, "file pref"},

    CommandRow{"version", "version NUMBER", "the system version (default 1240.1)", Section::kSetUp, true, false, true},
    CommandRow{"keyboard-methods", "keyboard-methods plain|context|both|version",
               "the next-keyboard steps the keyboard class has", Section::kSetUp, true, false, false,
               "plain context both version"},
    CommandRow{"activator", "activator installed|absent | fire NAME | ask NAME QUESTION [ARGUMENT]",
               "Activator's library on the device or off it; an event sent, a question asked", Section::kSetUp, true,
               false, true, "installed absent fire ask"},
    CommandRow{"keyboards", "keyboards ID[=\"Name\"]...", "the enabled keyboards, in the system's order",
               Section::kSetUp, true, false, true},
    CommandRow{"settings", "settings write|write-xml|set|remove|delete|bytes ...", "the settings file", Section::kSetUp,
               true, false, true, "write write-xml set remove delete bytes"},
    CommandRow{"file", "file write|write-xml|bytes|delete PATH ...", "any device file", Section::kSetUp, true, false,
               false, "write write-xml bytes delete"},
    CommandRow{"pref", "pref set|remove DOMAIN KEY [VALUE]", "one preference", Section::kSetUp, true, false, false,
               "set remove"},
    CommandRow{"app-icon", "app-icon DISPLAYID SIZE [cgimage|ciimage|empty]", "an icon AppList holds", Section::kSetUp,
               true, false, true},
    CommandRow{"fault", "fault write|flush|rename|read-only|full [TIMES] | none", "the file layer fails",
               Section::kSetUp, true, false, false, "write flush rename read-only full none"},

    CommandRow{"start", "start PROCESS [returns STATUS]", "a process starts, the extension loaded into it",
               Section::kProcesses, true, false, true},
    CommandRow{"stop", "stop PROCESS", "the process ends, writing what it set", Section::kProcesses, true, true, true},
    CommandRow{"kill", "kill PROCESS [mid-write]", "the process is killed (now, or in its next file write)",
               Section::kProcesses, true, true, false},
    CommandRow{"crash", "crash PROCESS", "the process crashes", Section::kProcesses, true, true, false},
    CommandRow{"hang", "hang PROCESS", "the process stops answering, and is killed as hung", Section::kProcesses, true,
               true, false},
    CommandRow{"suspend", "suspend APP", "the application goes to the background", Section::kProcesses, true, true,
               true},
    CommandRow{"resume", "resume APP", "the application comes back", Section::kProcesses, true, true, true},
    CommandRow{"show-keyboard", "show-keyboard PROCESS", "the keyboard appears", Section::kProcesses, true, true, true},
    CommandRow{"hide-keyboard", "hide-keyboard PROCESS", "the keyboard goes", Section::kProcesses, true, true, true},
    CommandRow{"tap", "tap PROCESS globe|KEY|nowhere", "a touch on a key of the keyboard", Section::kProcesses, true,
               true, true},
    CommandRow{"next-keyboard", "next-keyboard PROCESS", "the system's next-keyboard step", Section::kProcesses, true,
               true, true},
    CommandRow{"switcher", "switcher PROCESS", "the switcher menu's list", Section::kProcesses, true, true, true},
    CommandRow{"long-press", "long-press PROCESS", "a long press on the globe key: the switcher menu's list",
               Section::kProcesses, true, true, true},
    CommandRow{"choose", "choose PROCESS KEYBOARD", "an entry of the switcher menu on screen is chosen",
               Section::kProcesses, true, true, true},
    CommandRow{"label", "label PROCESS [KEY]", "a key's label (the globe key's by default)", Section::kProcesses, true,
               true, true},
    CommandRow{"unlock", "unlock", "the lock screen is unlocked", Section::kProcesses, true, false, true},
    CommandRow{"lock", "lock", "the device locks: SpringBoard shows its lock screen again", Section::kProcesses, true,
               false, true},
    CommandRow{"dismiss", "dismiss PROCESS", "the alert on top is dismissed", Section::kProcesses, true, true, true},
    CommandRow{"post", "post PROCESS darwin|distributed NAME [USERINFO]", "a notification posted", Section::kProcesses,
               true, true, true, "darwin distributed"},
    CommandRow{"run", "run", "run every main queue until none has work", Section::kProcesses, true, false, true},
    CommandRow{"say", "say TEXT", "narration in the trace", Section::kProcesses, true, false, true},
    CommandRow{"mark", "mark", "expectations look for events from here on", Section::kProcesses, true, false, true},

    CommandRow{"expect",
               "expect input-mode|alert|no-alert|log|no-log|hook|no-hook|pref|no-pref|setting|no-setting|\n"
               "         settings-format|file-format|file|no-file|no-temporaries|switcher|label|event|no-event ...",
               "", Section::kExpectations, true, false, true},
};

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
  std::string out = "  " + std::string(row.usage);
  if (!row.summary.empty()) {
    out += out.size() + 2 <= kColumn ? std::string(kColumn - out.size(), ' ') : "\n" + std::string(kColumn, ' ');
    out += row.summary;
  }
  return out + "\n";
}

}  // namespace

std::span<const CommandRow> commandRows() { return kCommandRows; }

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
  return out + "The language is described in docs/scenarios.md.\n";
}

std::string commandHelp(std::string_view word) {
  const CommandRow* row = commandRow(word);
  return row == nullptr ? std::string() : line(*row);
}

}  // namespace orvane::cli
