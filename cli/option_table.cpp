#include "cli/option_table.h"

#include <array>

#include "cli/language/command_table.h"
#include "cli/program.h"

namespace orvane::cli {

namespace {

constexpr unsigned kRunAndTour = kRunCommand | kTourCommand;
// The commands that print a trace: those that run lines in the terminal, and the log (serve's
// trace is on its page).
constexpr unsigned kTracing = kRunCommand | kTourCommand | kShellCommand | kSendCommand | kLogCommand;

constexpr std::array kOptionRows = {
    OptionRow{.name = "trace",
              .shortName = 't',
              .value = "FORMAT",
              .choices = "text json",
              .commands = kTracing,
              .brief = "trace format",
              .help = "text (the default) or json: one JSON object per line, nothing else on\n"
                      "standard output (failures and the summary are JSON events too)",
              .onlyChoices = true},
    OptionRow{.name = "quiet",
              .shortName = 'q',
              .commands = kRunCommand | kTourCommand | kShellCommand | kSendCommand,
              .brief = "no trace: only failures and results",
              .help = "no trace: only failures, each file's result and the summary"},
    OptionRow{.name = "only",
              .value = "KINDS",
              .choices = "<kinds>",
              .commands = kTracing,
              .brief = "only these event kinds",
              .help = "show only these trace events (a comma-separated list of kinds)"},
    OptionRow{.name = "process",
              .value = "NAME",
              .choices = "SpringBoard device scenario",
              .commands = kTracing,
              .brief = "only this process",
              .help = "show only the events of this process (SpringBoard, device, or a bundle id)"},
    OptionRow{.name = "root",
              .value = "DIR",
              .choices = "<dir>",
              .commands = kScenarioCommands,
              .brief = "run on this folder and keep it",
              .help = "run on the folder DIR and keep it (created if needed; a non-empty folder\n"
                      "must be one orvane-sim made; one run at a time uses it); otherwise a\n"
                      "temporary folder under $TMPDIR (or /tmp), always removed, whose files\n"
                      "the fast runtime keeps in memory"},
    OptionRow{.name = "durable",
              .commands = kScenarioCommands,
              .brief = "flush every write to storage",
              .help = "keep the files in the folder and flush every write to storage, as a\n"
                      "real device does (slower)"},
    OptionRow{.name = "report",
              .value = "FILE",
              .choices = "<file>",
              .commands = kRunAndTour,
              .brief = "a visual report",
              .help = "write a visual report: one HTML file showing, line by line, each\n"
                      "keyboard, menu and alert as a user would see it, and what changed"},
    OptionRow{.name = "runtime",
              .value = "NAME",
              .choices = "fast objc",
              .commands = kScenarioCommands | kBootCommand,
              .brief = "the runtime",
              .help = "fast (the default): the project's own runtime, every process in this one;\n"
                      "objc: GCC's Objective-C runtime, every process an OS process of its own\n"
                      "that maps the extension as a shared object (orvane-sim-objc)",
              .onlyChoices = true},
    OptionRow{.name = "color",
              .value = "WHEN",
              .choices = "auto always never",
              .commands = kTracing,
              .brief = "colour",
              .help = "auto (the default: on a terminal, unless NO_COLOR is set), always or never",
              .onlyChoices = true},
    OptionRow{.name = "junit",
              .value = "FILE",
              .choices = "<file>",
              .commands = kRunCommand,
              .brief = "JUnit XML",
              .help = "write the results as JUnit XML, one test case per file"},
    OptionRow{.name = "fail-fast",
              .commands = kRunCommand,
              .brief = "stop after the first failing file",
              .help = "stop after the first file that fails"},
    OptionRow{.name = "state-json",
              .value = "FILE",
              .choices = "<file>",
              .commands = kRunCommand,
              .brief = "the last state as JSON",
              .help = "write the final state of the last device as one JSON object"},
    OptionRow{.name = "list",
              .commands = kRunCommand,
              .brief = "list the files and their titles",
              .help = "list the scenario files and their titles, and run nothing"},
    OptionRow{.shortName = 'k',
              .value = "PATTERN",
              .commands = kRunCommand,
              .brief = "only files whose name holds it",
              .help = "only the files whose name holds PATTERN (again for more patterns)"},
    OptionRow{.shortName = 'j',
              .value = "N",
              .commands = kRunCommand,
              .brief = "files at once",
              .help = "run N files at once, each in a process of its own; the output stays in\n"
                      "file order (not with --report, --state-json, --fail-fast or --root)"},
    OptionRow{.name = "port",
              .value = "N",
              .commands = kServeCommand,
              .brief = "the port",
              .help = "listen on port N (default 0: any free port)"},
    OptionRow{.name = "device",
              .value = "NAME",
              .choices = "<device>",
              .commands = kRunCommand | kShellCommand | kServeCommand,
              .brief = "on this booted device",
              .help = "on the booted device NAME (orvane-sim boot) instead of a fresh one of\n"
                      "its own: its lines join that device's one session and order of events"},
    OptionRow{.name = "follow",
              .shortName = 'f',
              .commands = kLogCommand,
              .brief = "go on as events come",
              .help = "after the events kept, print each new one as it happens, until the\n"
                      "device shuts down or Ctrl-C"},
    OptionRow{
        .name = "all", .commands = kShutdownCommand, .brief = "every booted device", .help = "every booted device"},
    OptionRow{.name = "json",
              .commands = kListCommand,
              .brief = "as JSON",
              .help = "one JSON object: {\"devices\": [...]}, each with the fields the table shows"},
    OptionRow{.name = "version",
              .shortName = 'V',
              .commands = kEveryCommand,
              .brief = "the version",
              .help = "print the version"},
    OptionRow{"help", 'h', "", "", kEveryCommand, "help", "this help"},
};

// The commands, in the order help lists them.
constexpr std::array kProgramCommands = {
    ProgramCommand{
        .name = "run",
        .bit = kRunCommand,
        .arguments = "FILE|FOLDER|-...",
        .takes = Arguments::kFiles,
        .summary = "run scenario scripts (a folder: its *.scn files, in order), each on a fresh device",
        .brief = "run scenario files",
        .description =
            "Runs each scenario file on a fresh device with the extension installed ('-' reads standard\n"
            "input), printing each file's result, its failures and a summary, and the trace of every\n"
            "observable effect when one file is run (or --trace is given).\n"
            "Exit status: 0 when every expectation held, 1 when one failed (or a run stopped at the runaway\n"
            "bound), 2 when a line could not be run or nothing was run.",
        .main = [](const Options& options) { return runCommand(options, false); }},
    ProgramCommand{.name = "tour",
                   .bit = kTourCommand,
                   .arguments = "",
                   .takes = Arguments::kNone,
                   .summary = "run the built-in tour of what the extension does",
                   .brief = "the tour",
                   .description = "Walks through what the extension does on a simulated device, printing the trace.",
                   .main = [](const Options& options) { return runCommand(options, true); }},
    ProgramCommand{.name = "shell",
                   .bit = kShellCommand,
                   .arguments = "",
                   .takes = Arguments::kNone,
                   .summary = "type scenario commands (line editing, history and completion on a terminal)",
                   .brief = "type scenario commands",
                   .description =
                       "Reads scenario commands, one per line, and runs each at once on a device ('help' lists them).\n"
                       "Exit status: 0 when every line ran and held, 1 otherwise.",
                   .main = shellCommand},
    ProgramCommand{
        .name = "serve",
        .bit = kServeCommand,
        .arguments = "[FILE]",
        .takes = Arguments::kOneFileAtMost,
        .summary = "use the device in a browser: a live page on this machine (docs/live.md)",
        .brief = "use the device in a browser",
        .description =
            "Starts a device (set up by the scenario FILE, or with five keyboards, SpringBoard and an\n"
            "application), serves a page that draws it as a phone on the loopback address, and prints the\n"
            "page's address with its secret token. Every press on the page runs as scenario lines; 'Save as\n"
            "scenario' downloads them, with what the page showed as expectations. Ctrl-C stops it.",
        .main = serveCommand},
    ProgramCommand{.name = "boot",
                   .bit = kBootCommand,
                   .arguments = "[NAME] [FILE]",
                   .takes = Arguments::kDevice,
                   .summary = "start a device that stays up, by name (docs/devices.md)",
                   .brief = "start a named device",
                   .description =
                       "Starts the device NAME (default: \"default\") in the background and returns once it answers.\n"
                       "Its files are kept in its folder between boots; a device booted the first time is set up as\n"
                       "serve's is (five keyboards, SpringBoard and an application), one booted again starts\n"
                       "SpringBoard; the scenario FILE (a name ending in .scn, or '-') sets it up instead. Other\n"
                       "commands address it by NAME ('booted': the one booted device). SIGTERM shuts it down.\n"
                       "Exit status: 0 when it is booted, 1 when its set-up's expectation failed, 2 otherwise.",
                   .main = bootCommand},
    ProgramCommand{.name = "list",
                   .bit = kListCommand,
                   .arguments = "",
                   .takes = Arguments::kNone,
                   .summary = "list the named devices: state, runtime, version, processes, folder",
                   .brief = "list the devices",
                   .description = "Lists every named device: its state (booted; shutdown; ended, when it was killed),\n"
                                  "runtime, system version, the processes that run on it and its folder and door.",
                   .main = listCommand},
    ProgramCommand{.name = "send",
                   .bit = kSendCommand,
                   .arguments = "NAME LINE...|-",
                   .takes = Arguments::kDevice,
                   .summary = "run scenario lines on a booted device, and print what they did",
                   .brief = "run lines on a device",
                   .description =
                       "Runs each LINE ('-': the lines of standard input) on the booted device NAME, as one session\n"
                       "with its page and every other client, and prints their trace as run does.\n"
                       "Exit status: 0 when every line ran and held, 1 when an expectation failed, 2 when a line\n"
                       "could not be run (the lines after it are not run) or the device could not be reached.",
                   .main = sendCommand},
    ProgramCommand{.name = "log",
                   .bit = kLogCommand,
                   .arguments = "NAME",
                   .takes = Arguments::kDevice,
                   .summary = "print a booted device's events (-f: as they happen)",
                   .brief = "a device's events",
                   .description = "Prints the last 500 events of the booted device NAME, in the trace's\n"
                                  "format and filters; with --follow, then each new one as it happens.",
                   .main = logCommand},
    ProgramCommand{.name = "screenshot",
                   .bit = kScreenshotCommand,
                   .arguments = "NAME FILE",
                   .takes = Arguments::kDevice,
                   .summary = "write a booted device's phone as a PNG, as its page draws it",
                   .brief = "the phone as a PNG",
                   .description = "Writes the phone of the booted device NAME to FILE as a PNG, drawn by the\n"
                                  "live page in a headless Chromium (the chromium package).",
                   .main = screenshotCommand},
    ProgramCommand{.name = "report",
                   .bit = kReportCommand,
                   .arguments = "NAME FILE",
                   .takes = Arguments::kDevice,
                   .summary = "write the visual report of a booted device's session so far",
                   .brief = "a device's report",
                   .description = "Writes the visual report of the booted device NAME's session since it booted\n"
                                  "to FILE ('-': standard output).",
                   .main = reportCommand},
    ProgramCommand{.name = "shutdown",
                   .bit = kShutdownCommand,
                   .arguments = "NAME|--all",
                   .takes = Arguments::kDevice,
                   .summary = "shut a booted device down, every write finished",
                   .brief = "shut a device down",
                   .description = "Shuts the booted device NAME (or every one, --all) down and returns once it\n"
                                  "has: its files are kept for its next boot.\n"
                                  "Exit status: 0 when it is down, 1 when it was not booted, 2 otherwise.",
                   .main = shutdownCommand},
    ProgramCommand{.name = "erase",
                   .bit = kEraseCommand,
                   .arguments = "NAME",
                   .takes = Arguments::kDevice,
                   .summary = "empty a shut-down device's folder: it boots again as new",
                   .brief = "reset a device",
                   .description = "Removes every file of the shut-down device NAME: its next boot is a first one.",
                   .main = eraseCommand},
};

// Each command has a bit of its own, and "every command" is all of them.
constexpr bool bitsAreTheCommands() {
  unsigned all = 0;
  for (const ProgramCommand& command : kProgramCommands) {
    if ((all & command.bit) != 0) return false;
    all |= command.bit;
  }
  return all == kEveryCommand;
}
static_assert(bitsAreTheCommands());

// "  -t, --trace=FORMAT", "      --durable", "  -k PATTERN": how --help writes the option.
std::string spelled(const OptionRow& row) {
  std::string out = "  ";
  if (row.shortName != 0) {
    out += std::string("-") + row.shortName;
    if (!row.name.empty()) out += ", ";
  } else {
    out += "    ";
  }
  if (!row.name.empty()) {
    out += "--" + std::string(row.name);
    if (!row.value.empty()) out += "=" + std::string(row.value);
  } else if (!row.value.empty()) {
    out += " " + std::string(row.value);
  }
  return out;
}

}  // namespace

std::span<const OptionRow> optionRows() { return kOptionRows; }

std::span<const std::string_view> programWords() {
  static constexpr std::array<std::string_view, 4> kWords = {"--help", "--version", "--manual", "--complete"};
  return kWords;
}

std::string optionName(const OptionRow& row) {
  return row.name.empty() ? std::string("-") + row.shortName : "--" + std::string(row.name);
}

std::span<const ProgramCommand> programCommands() { return kProgramCommands; }

const ProgramCommand* programCommand(std::string_view name) {
  for (const ProgramCommand& command : kProgramCommands) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

unsigned commandBit(std::string_view command) {
  const ProgramCommand* row = programCommand(command);
  return row == nullptr ? 0U : static_cast<unsigned>(row->bit);
}

std::string commandsTaking(const OptionRow& row) {
  std::string out;
  int count = 0;
  for (const ProgramCommand& command : kProgramCommands) {
    if ((row.commands & command.bit) == 0) continue;
    out += (count++ == 0 ? "" : " and ") + std::string(command.name);
  }
  return count == 1 ? out + " only" : out;
}

std::string optionHelp(std::string_view command) {
  constexpr std::size_t kColumn = 23;
  std::string out = "options:\n";
  for (const OptionRow& row : kOptionRows) {
    if ((row.commands & commandBit(command)) == 0) continue;
    std::string line = spelled(row);
    line += line.size() + 2 <= kColumn ? std::string(kColumn - line.size(), ' ') : "  ";
    for (const char c : row.help) {
      line += c;
      if (c == '\n') line += std::string(kColumn, ' ');
    }
    out += line + "\n";
  }
  return out;
}

std::vector<std::string> choiceWords(const OptionRow& row) {
  return row.choices.starts_with('<') ? std::vector<std::string>() : spaceSeparated(row.choices);
}

}  // namespace orvane::cli
