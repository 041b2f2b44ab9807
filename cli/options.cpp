// The options of orvane-sim's commands, read with getopt_long from the option table.
#include "cli/options.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "cli/language/words.h"
#include "sim/process_runtime/process_runtime.h"
#include "sim/trace/event_kinds.h"

namespace orvane::cli {

namespace {

std::vector<std::string> splitCommas(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

// An option's value as a whole number from `low` to `high`; nothing for anything else.
std::optional<int> wholeNumber(std::string_view text, int low, int high) {
  int n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size() || n < low || n > high) return std::nullopt;
  return n;
}

// getopt_long's lists, made from the option table: a long option without a short name answers
// kLongOnly plus its row's place. The table's names are string literals, so each is a C string.
constexpr int kLongOnly = 1000;
struct GetoptLists {
  std::string shortOptions = ":";
  std::vector<option> longOptions;
};
const GetoptLists& getoptLists() {
  static const GetoptLists lists = [] {
    GetoptLists out;
    const auto rows = optionRows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const auto& row = rows[i];
      const int argument = row.value.empty() ? no_argument : required_argument;
      if (row.shortName != 0) out.shortOptions += std::string(1, row.shortName) + (row.value.empty() ? "" : ":");
      if (row.name.empty()) continue;
      // The table's names are string literals, each ended by its NUL.
      out.longOptions.push_back({row.name.data(), argument,  // NOLINT(bugprone-suspicious-stringview-data-usage)
                                 nullptr, row.shortName != 0 ? row.shortName : kLongOnly + int(i)});
    }
    out.longOptions.push_back({nullptr, 0, nullptr, 0});
    return out;
  }();
  return lists;
}

// The row getopt_long answered with; nullptr for an unknown option or a missing value.
const OptionRow* givenRow(int c) {
  const auto rows = optionRows();
  if (c >= kLongOnly && c < kLongOnly + int(rows.size())) return &rows[std::size_t(c - kLongOnly)];
  for (const auto& row : rows) {
    if (row.shortName != 0 && row.shortName == c) return &row;
  }
  return nullptr;
}

// A value that must be one of the row's choices: the choice, or nothing with the mistake said.
std::optional<std::string> choiceOf(const OptionRow& row, const std::string& text, std::string& error) {
  const std::vector<std::string> choices = choiceWords(row);
  if (std::find(choices.begin(), choices.end(), text) != choices.end()) return text;
  error = optionName(row) + " takes " + wordList(choices, "or") + ", not '" + text + "'" + didYouMean(text, choices);
  return std::nullopt;
}

// The options whose value is a number, and the numbers they take.
void takeNumber(Options& options, const std::string& name, const std::string& text) {
  if (name == "-j") {
    if (const auto jobs = wholeNumber(text, 1, 256)) {
      options.jobs = *jobs;
    } else {
      options.error = "-j takes a number of files from 1 to 256, not '" + text + "'";
    }
  } else if (const auto port = wholeNumber(text, 0, 65535)) {
    options.port = *port;
  } else {
    options.error = "--port takes a port from 0 to 65535, not '" + text + "'";
  }
}

// Takes one option's value into `options`: `name` is how the table writes it ("--trace", "-k").
void takeOption(Options& options, const OptionRow& row, const char* value, bool& quiet, bool& colorGiven) {
  const std::string name = optionName(row);
  const std::string text = value != nullptr ? value : "";
  std::optional<std::string> choice;
  if (row.onlyChoices) {
    choice = choiceOf(row, text, options.error);
    if (!choice) return;
  }
  if (name == "--trace") {
    options.output.format = *choice == "json" ? TraceFormat::kJson : TraceFormat::kText;
    options.traceGiven = true;
  } else if (name == "--quiet") {
    quiet = true;
    options.traceGiven = true;
  } else if (name == "--color") {
    if (*choice != "auto") options.output.color = *choice == "always";
    colorGiven = true;
  } else if (name == "--runtime") {
    options.runtime = *choice;
  } else if (name == "-j" || name == "--port") {
    takeNumber(options, name, text);
  } else if (name == "--only") {
    for (const std::string& kind : splitCommas(text)) options.output.only.insert(kind);
  } else if (name == "--process") {
    options.output.process = text;
  } else if (name == "--root") {
    options.root = std::filesystem::path(text);
  } else if (name == "--junit") {
    options.junit = text;
  } else if (name == "--state-json") {
    options.stateJson = text;
  } else if (name == "--report") {
    options.report = text;
  } else if (name == "--device") {
    options.device = text;
  } else if (name == "-k") {
    options.patterns.push_back(text);
  } else {
    bool* flag = name == "--help"        ? &options.help
                 : name == "--version"   ? &options.version
                 : name == "--fail-fast" ? &options.failFast
                 : name == "--durable"   ? &options.durable
                 : name == "--list"      ? &options.list
                 : name == "--follow"    ? &options.follow
                 : name == "--all"       ? &options.all
                 : name == "--json"      ? &options.json
                                         : nullptr;
    if (flag == nullptr) throw std::logic_error("the option " + name + " is in the table but not taken");
    *flag = true;
  }
}

}  // namespace

Options parseOptions(int argc, char** argv) {
  const GetoptLists& lists = getoptLists();
  Options options;
  bool quiet = false;
  bool colorGiven = false;
  opterr = 0;
  optind = 2;  // after the command
  for (;;) {
    const int c = getopt_long(argc, argv, lists.shortOptions.c_str(), lists.longOptions.data(), nullptr);
    if (c == -1) break;
    // getopt_long has moved past the option it complains about (and may have reordered argv).
    std::string given = optind - 1 < argc ? argv[optind - 1] : "";
    if (c == ':') {
      const auto* row = givenRow(optopt);
      if (row != nullptr) given = optionName(*row);
      options.error = "option " + given + " needs a value";
      if (row != nullptr && row->onlyChoices) options.error += ": " + wordList(choiceWords(*row), "or");
      continue;
    }
    const auto* row = givenRow(c);
    if (row == nullptr) {
      std::vector<std::string> names;
      for (const auto& each : optionRows()) names.push_back(optionName(each));
      options.error = "unknown option " + given + didYouMean(given.substr(0, given.find('=')), names);
      continue;
    }
    options.given.push_back(row);
    takeOption(options, *row, optarg, quiet, colorGiven);
  }
  for (int i = optind; i < argc; ++i) options.inputs.emplace_back(argv[i]);
  if (quiet && options.output.format == TraceFormat::kText) options.output.format = TraceFormat::kNone;
  // --color=auto (the default): on a terminal, unless NO_COLOR is set (https://no-color.org).
  if (!colorGiven || !options.output.color.has_value()) {
    const char* noColor = std::getenv("NO_COLOR");
    options.output.color = ::isatty(STDOUT_FILENO) != 0 && (noColor == nullptr || *noColor == '\0');
  }
  return options;
}

std::string runtimeName() { return std::string(sim::processModel().runtime); }

std::string otherRuntimeCommand() { return runtimeName() == "fast" ? "orvane-sim-objc" : "orvane-sim"; }

std::string programUsage() {
  constexpr std::size_t kColumn = 24;
  std::string out = "usage: orvane-sim COMMAND [OPTIONS]\n\ncommands:\n";
  for (const ProgramCommand& command : programCommands()) {
    std::string line = "  " + std::string(command.name);
    if (!command.arguments.empty()) line += " " + std::string(command.arguments);
    line += line.size() + 2 <= kColumn ? std::string(kColumn - line.size(), ' ') : "  ";
    out += line + std::string(command.summary) + "\n";
  }
  return out +
         "\n"
         "  --version             print the version\n"
         "\n"
         "Run 'orvane-sim COMMAND --help' for the options of a command, 'man orvane-sim' for the whole.\n"
         "The scenario language is described in docs/scenarios.md (installed in share/doc/orvane).\n";
}

std::string helpOf(const std::string& command) {
  for (const ProgramCommand& row : programCommands()) {
    if (row.name != command) continue;
    std::string usage = "usage: orvane-sim " + command + " [OPTIONS]";
    if (!row.arguments.empty()) usage += " " + std::string(row.arguments);
    return usage + "\n\n" + std::string(row.description) + "\n\n" + optionHelp(command);
  }
  return "";
}

bool given(const Options& options, std::string_view name) {
  return std::ranges::any_of(options.given, [name](const OptionRow* row) { return row->name == name; });
}

std::string unusedOption(const std::string& command, const Options& options) {
  for (const OptionRow* row : options.given) {
    if ((row->commands & commandBit(command)) == 0) return optionName(*row) + " is for " + commandsTaking(*row);
  }
  const ProgramCommand* row = programCommand(command);
  if (row != nullptr && row->takes == Arguments::kOneFileAtMost && options.inputs.size() > 1)
    return command + " takes one scenario file at most";
  if (options.device && (options.root || options.durable || options.jobs > 1 || options.report || options.stateJson ||
                         options.junit || given(options, "runtime"))) {
    return "--device runs on a booted device: not with --root, --durable, --runtime, -j, --report, --junit or "
           "--state-json";
  }
  if (options.jobs > 1 && (options.report || options.stateJson || options.failFast || options.root)) {
    return "-j runs files apart: not with --report, --state-json, --fail-fast or --root";
  }
  const std::vector<std::string> kinds = sim::eventKinds();
  for (const std::string& kind : options.output.only) {
    if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) {
      return "--only: no event kind '" + kind + "'" + didYouMean(kind, kinds);
    }
  }
  // A process is SpringBoard, the device, the scenario, or an application's bundle identifier.
  const std::string& process = options.output.process.value_or("SpringBoard");
  const std::vector<std::string> named = {"SpringBoard", "device", "scenario"};
  if (std::find(named.begin(), named.end(), process) == named.end() && process.find('.') == std::string::npos) {
    return "--process: no process '" + process + "'" + didYouMean(process, named) +
           "; it takes SpringBoard, device, scenario or a bundle identifier";
  }
  return "";
}

}  // namespace orvane::cli
