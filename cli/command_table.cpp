#include "cli/command_table.h"

#include <algorithm>
#include <array>

namespace orvane::cli {

namespace {

using enum Section;

// Columns: word, usage, summary, section, in scenarios, takes a process, the live page may send it.
constexpr std::array kRows = {
    CommandRow{"help", "help [COMMAND]", "this list, or what it says of one command", kShell, false, false, false},
    CommandRow{"quit", "quit", "leave the shell (also end of input)", kShell, false, false, false},
    CommandRow{"exit", "exit", "leave the shell, as quit", kShell, false, false, false},
    CommandRow{"reset", "reset", "a fresh device", kShell, false, false, false},
    CommandRow{"state", "state [--json]", "the device's state (processes, keyboards, settings, alerts on screen)",
               kShell, true, false, true},
    CommandRow{"source", "source FILE", "run the lines of a scenario file here", kShell, false, false, false},
    CommandRow{"save", "save FILE", "write this session's lines (since the last reset) as a scenario", kShell, false,
               false, false},
    CommandRow{"show", "show file PATH | pref DOMAIN", "a device file or a preference domain, in readable form", kShell,
               true, false, false},

    CommandRow{"version", "version NUMBER", "the system version (default 1240.1)", kSetUp, true, false, true},
    CommandRow{"keyboard-methods", "keyboard-methods plain|context|both|version",
               "the next-keyboard steps the keyboard class has", kSetUp, true, false, false},
    CommandRow{"activator", "activator installed|absent | fire NAME | ask NAME QUESTION [ARGUMENT]",
               "Activator's library on the device or off it; an event sent, a question asked", kSetUp, true, false,
               true},
    CommandRow{"keyboards", "keyboards ID[=\"Name\"]...", "the enabled keyboards, in the system's order", kSetUp, true,
               false, true},
    CommandRow{"settings", "settings write|write-xml|set|remove|delete|bytes ...", "the settings file", kSetUp, true,
               false, true},
    CommandRow{"file", "file write|write-xml|bytes|delete PATH ...", "any device file", kSetUp, true, false, false},
    CommandRow{"pref", "pref set|remove DOMAIN KEY [VALUE]", "one preference", kSetUp, true, false, false},
    CommandRow{"app-icon", "app-icon DISPLAYID SIZE [cgimage|ciimage|empty]", "an icon AppList holds", kSetUp, true,
               false, true},
    CommandRow{"fault", "fault write|flush|rename|read-only|full [TIMES] | none", "the file layer fails", kSetUp, true,
               false, false},

    CommandRow{"start", "start PROCESS [returns STATUS]", "a process starts, the extension loaded into it", kProcesses,
               true, false, true},
    CommandRow{"stop", "stop PROCESS", "the process ends, writing what it set", kProcesses, true, true, true},
    CommandRow{"kill", "kill PROCESS [mid-write]", "the process is killed (now, or in its next file write)", kProcesses,
               true, true, false},
    CommandRow{"crash", "crash PROCESS", "the process crashes", kProcesses, true, true, false},
    CommandRow{"hang", "hang PROCESS", "the process stops answering, and is killed as hung", kProcesses, true, true,
               false},
    CommandRow{"suspend", "suspend APP", "the application goes to the background", kProcesses, true, true, true},
    CommandRow{"resume", "resume APP", "the application comes back", kProcesses, true, true, true},
    CommandRow{"show-keyboard", "show-keyboard PROCESS", "the keyboard appears", kProcesses, true, true, true},
    CommandRow{"hide-keyboard", "hide-keyboard PROCESS", "the keyboard goes", kProcesses, true, true, true},
    CommandRow{"tap", "tap PROCESS globe|KEY|nowhere", "a touch on a key of the keyboard", kProcesses, true, true,
               true},
    CommandRow{"next-keyboard", "next-keyboard PROCESS", "the system's next-keyboard step", kProcesses, true, true,
               true},
    CommandRow{"switcher", "switcher PROCESS", "the switcher menu's list", kProcesses, true, true, true},
    CommandRow{"long-press", "long-press PROCESS", "a long press on the globe key: the switcher menu's list",
               kProcesses, true, true, true},
    CommandRow{"label", "label PROCESS [KEY]", "a key's label (the globe key's by default)", kProcesses, true, true,
               true},
    CommandRow{"unlock", "unlock", "the lock screen is unlocked", kProcesses, true, false, true},
    CommandRow{"dismiss", "dismiss PROCESS", "the alert on top is dismissed", kProcesses, true, true, true},
    CommandRow{"post", "post PROCESS darwin|distributed NAME [USERINFO]", "a notification posted", kProcesses, true,
               true, true},
    CommandRow{"run", "run", "run every main queue until none has work", kProcesses, true, false, true},
    CommandRow{"say", "say TEXT", "narration in the trace", kProcesses, true, false, true},
    CommandRow{"mark", "mark", "expectations look for events from here on", kProcesses, true, false, true},

    CommandRow{"expect",
               "expect input-mode|alert|no-alert|log|no-log|hook|no-hook|pref|no-pref|setting|no-setting|\n"
               "         settings-format|file-format|file|no-file|no-temporaries|switcher|label|event|no-event ...",
               "", kExpectations, true, false, true},
};

constexpr std::string_view heading(Section section) {
  switch (section) {
    case kShell:
      return "shell commands:";
    case kSetUp:
      return "setting up the device:";
    case kProcesses:
      return "processes and events:";
    case kExpectations:
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

std::span<const CommandRow> commandRows() { return kRows; }

const CommandRow* commandRow(std::string_view word) {
  const auto it = std::find_if(kRows.begin(), kRows.end(), [word](const CommandRow& r) { return r.word == word; });
  return it == kRows.end() ? nullptr : &*it;
}

std::vector<std::string> commandWords(bool (*keep)(const CommandRow&)) {
  std::vector<std::string> out;
  for (const CommandRow& row : kRows) {
    if (keep(row)) out.emplace_back(row.word);
  }
  return out;
}

std::string commandHelp() {
  std::string out;
  const CommandRow* previous = nullptr;
  for (const CommandRow& row : kRows) {
    if (previous == nullptr || previous->section != row.section) out += std::string(heading(row.section)) + "\n";
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
