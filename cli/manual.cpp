#include "cli/manual.h"

#include "cli/language/command_table.h"
#include "cli/option_table.h"
#include "cli/options.h"

namespace orvane::cli {

namespace {

// Text as roff reads it: backslashes and hyphens escaped, a line never begins with a control
// character, a line break with the spaces after it (a table's continued cell) is one space, and a
// line may break after a bar.
std::string roff(std::string_view text) {
  std::string out;
  bool lineStart = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      while (i + 1 < text.size() && text[i + 1] == ' ') ++i;
      out += ' ';
      continue;
    }
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    lineStart = false;
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else if (c == '|') {
      out += "|\\:";  // a line may break after a bar (the expectations' long list)
    } else {
      out += c;
    }
  }
  return out;
}

// "\fB\-\-trace\fR=\fIFORMAT\fR, \fB\-t\fR": an option as the page writes it.
std::string optionTerm(const OptionRow& row) {
  std::string value = row.value.empty() ? "" : "\\fI" + std::string(row.value) + "\\fR";
  std::string term;
  if (!row.name.empty()) term = "\\fB\\-\\-" + roff(row.name) + "\\fR" + (value.empty() ? "" : "=" + value);
  if (row.shortName != 0) {
    const std::string shortTerm =
        "\\fB\\-" + std::string(1, row.shortName) + "\\fR" + (value.empty() ? "" : " " + value);
    term = term.empty() ? shortTerm : term + ", " + shortTerm;
  }
  return term;
}

std::string synopsis() {
  std::string out = ".SH SYNOPSIS\n";
  for (const ProgramCommand& command : programCommands()) {
    out += "\\fBorvane\\-sim " + std::string(command.name) + "\\fR [\\fIOPTIONS\\fR]";
    if (!command.arguments.empty()) out += " \\fI" + roff(command.arguments) + "\\fR";
    out += "\n.br\n";
  }
  return out + ".B orvane\\-sim \\-\\-complete bash\\fR|\\fBzsh\n.br\n.B orvane\\-sim \\-\\-version\n";
}

std::string commands() {
  std::string out = ".SH COMMANDS\n";
  for (const ProgramCommand& command : programCommands()) {
    out += ".TP\n\\fB" + std::string(command.name) + "\\fR" +
           (command.arguments.empty() ? "" : " \\fI" + roff(command.arguments) + "\\fR") + "\n" +
           roff(command.description) + "\n";
  }
  return out;
}

std::string language() {
  std::string out =
      ".SH THE SCENARIO LANGUAGE\n"
      "A scenario is a text file of commands, one per line; a line that begins with # is a comment.\n"
      "Words are separated by spaces; a quoted part keeps its spaces. Values (settings, preferences)\n"
      "are written in the text form of property lists: 1, 2.5, true, \"text\", [1, 2], {key: 1}.\n"
      "A line that cannot be run stops the file. The shell takes the same lines, and its own commands.\n"
      "scenarios.md (docs/ in the source, share/doc/orvane once installed) describes every command, value and "
      "trace event.\n";
  bool first = true;
  Section section = Section::kShell;
  for (const CommandRow& row : commandRows()) {
    if (first || row.section != section) out += ".SS " + roff(sectionHeading(row.section)) + "\n";
    first = false;
    section = row.section;
    const std::string summary = row.summary.empty() ? "what the device shows or did" : roff(row.summary);
    // A usage too long for the tag's one line (the expectations') goes whole into the paragraph,
    // not justified (its few break points would stretch it).
    const std::string usage = usageOf(row);
    if (usage.size() > 60) {
      out += ".TP\n\\fB" + roff(row.word) + "\\fR ...\n" + summary + ":\n.br\n.na\n" + roff(usage) + "\n.ad\n";
    } else {
      out += ".TP\n\\fB" + roff(usage) + "\\fR\n" + summary + "\n";
    }
  }
  return out;
}

std::string options() {
  std::string out =
      ".SH OPTIONS\nEach command takes the options listed for it; an option given to a command that does not "
      "take it is refused.\n";
  for (const OptionRow& row : optionRows()) {
    const std::string taking = row.commands == kEveryCommand ? "every command" : commandsTaking(row);
    out += ".TP\n" + optionTerm(row) + "\n" + roff(row.help) + " (" + roff(taking) + ")\n";
  }
  return out;
}

constexpr const char* kRest =
    ".SH ENVIRONMENT\n"
    ".TP\n.B TMPDIR\n"
    "Where each run's temporary device folder is made (/tmp when unset); it is removed when the run ends, "
    "also on SIGINT, SIGTERM, SIGHUP and SIGPIPE.\n"
    ".TP\n.B NO_COLOR\n"
    "When set and not empty, results are not coloured on a terminal (\\-\\-color=auto).\n"
    ".TP\n.BR XDG_STATE_HOME \", \" HOME\n"
    "Where the shell keeps its history, and the named devices their folders.\n"
    ".TP\n.B XDG_RUNTIME_DIR\n"
    "Where a booted device's door is (/tmp/orvane\\-UID when unset).\n"
    ".SH FILES\n"
    ".TP\n.I $XDG_STATE_HOME/orvane/history\n"
    "The shell's history, or\n.I ~/.local/state/orvane/history\nwhen XDG_STATE_HOME is unset.\n"
    ".TP\n.I $TMPDIR/orvane\\-device\\-XXXXXX\n"
    "A run's device folder: the device's files (the settings file, preferences, the extension) live there.\n"
    ".TP\n.I DIR/.orvane\\-device\n"
    "Marks a folder given to \\-\\-root as a device folder, which a later run may empty.\n"
    ".TP\n.I $XDG_STATE_HOME/orvane/devices/NAME\n"
    "A named device's folder (mode 0700; ~/.local/state/... when XDG_STATE_HOME is unset): its files "
    "(root/), its record (device.plist), its lock and what it said (device.log).\n"
    ".TP\n.I $XDG_RUNTIME_DIR/orvane/NAME.sock\n"
    "A booted device's door: HTTP over a Unix socket (mode 0600, in a folder only its user may enter), "
    "which curl \\-\\-unix\\-socket speaks too.\n"
    ".TP\n.I share/doc/orvane\n"
    "scenarios.md (the scenario language), live.md (the live page), devices.md (named devices), "
    "settings.md (the settings file).\n"
    ".SH EXIT STATUS\n"
    ".TP\n.B 0\nEvery expectation held (shell: every line ran and held).\n"
    ".TP\n.B 1\nAn expectation failed, or a run stopped at the runaway bound.\n"
    ".TP\n.B 2\nA line could not be run, a file could not be read, nothing was run, an option was wrong, "
    "or the output could not be written.\n"
    ".SH EXAMPLES\n"
    ".TP\n.B orvane\\-sim tour\n"
    "What the extension does, step by step.\n"
    ".TP\n.B orvane\\-sim run tests/scenarios\n"
    "Every scenario of a folder: each file's result and the failures.\n"
    ".TP\n.B orvane\\-sim run \\-\\-trace=json \\-\\-only=input\\-mode,alert one.scn\n"
    "One file's trace, as JSON lines, only two kinds of event.\n"
    ".TP\n.B orvane\\-sim run \\-j 8 \\-\\-junit=results.xml tests/scenarios\n"
    "Eight files at once, the results for a CI system.\n"
    ".TP\n.B printf 'keyboards en_US fr_FR\\en' | orvane\\-sim shell\n"
    "Commands from a pipe, one per line.\n"
    ".TP\n.B orvane\\-sim serve\n"
    "The device as a phone in the browser; its address is printed.\n"
    ".TP\n.B orvane\\-sim boot phone; orvane\\-sim send phone 'tap com.example.notes globe'\n"
    "A device that stays up, and a line sent to it from any terminal or script.\n"
    ".TP\n.B orvane\\-sim log phone \\-\\-follow \\-\\-only=input\\-mode\n"
    "Its events as they happen, whoever caused them.\n"
    ".SH SEE ALSO\n"
    ".BR bash (1),\n.BR zsh (1);\n"
    "completions come from\n.BR \"orvane\\-sim \\-\\-complete bash\" .\n";

}  // namespace

std::string manualPage(std::string_view version) {
  return ".TH ORVANE\\-SIM 1 \"\" \"" + roff(version) + "\" \"User Commands\"\n" +
         ".SH NAME\norvane\\-sim \\- a simulated device for the Orvane keyboard extension\n" + synopsis() +
         ".SH DESCRIPTION\n"
         "A simulated phone with the Orvane keyboard extension installed, driven by scenario scripts: "
         "keyboards, SpringBoard and applications start, keys are tapped, and every observable effect "
         "is printed as a trace; expectations check it.\n" +
         commands() + language() + options() + kRest;
}

}  // namespace orvane::cli
