// orvane-sim: a simulated device with the extension installed, driven by scenario scripts.
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/scenario.h"
#include "rig/rig.h"

namespace {

using orvane::cli::ScenarioRunner;
using orvane::cli::TraceFormat;

constexpr const char* kUsage =
    "usage: orvane-sim COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  run FILE...   run scenario scripts, each on a fresh device\n"
    "  tour          run the built-in tour of what the extension does\n"
    "  shell         read scenario commands from standard input\n"
    "\n"
    "Run 'orvane-sim COMMAND --help' for the options of a command.\n"
    "The scenario language is described in docs/scenarios.md.\n";

constexpr const char* kRunUsage =
    "usage: orvane-sim run [--trace text|json] [--quiet] FILE...\n"
    "\n"
    "Runs each scenario file on a fresh device with the extension installed, printing the trace of\n"
    "every observable effect. Exit status: 0 when every expectation held, 1 when one failed, 2 when a\n"
    "line could not be run (the message names FILE:LINE).\n"
    "\n"
    "  --trace text   human-readable trace (the default)\n"
    "  --trace json   one JSON object per event\n"
    "  --quiet        no trace, only failures and a summary\n";

constexpr const char* kTourUsage =
    "usage: orvane-sim tour [--trace text|json] [--quiet]\n"
    "\n"
    "Walks through what the extension does on a simulated device, printing the trace.\n";

constexpr const char* kShellUsage =
    "usage: orvane-sim shell [--trace text|json]\n"
    "\n"
    "Reads scenario commands from standard input, one per line, and runs each at once on a fresh\n"
    "device. A bad line is reported and skipped.\n";

struct Options {
  TraceFormat format = TraceFormat::kText;
  std::vector<std::string> files;
  bool help = false;
  std::string error;
};

Options parseOptions(int argc, char** argv, bool takesFiles) {
  Options options;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--quiet") {
      options.format = TraceFormat::kNone;
    } else if (arg == "--trace" && i + 1 < argc) {
      const std::string value = argv[++i];
      if (value == "text") {
        options.format = TraceFormat::kText;
      } else if (value == "json") {
        options.format = TraceFormat::kJson;
      } else {
        options.error = "--trace takes text or json";
      }
    } else if (takesFiles && (arg.empty() || arg[0] != '-')) {
      options.files.push_back(arg);
    } else {
      options.error = "unknown option " + arg;
    }
  }
  return options;
}

int runScriptOnFreshDevice(std::istream& in, const std::string& name, TraceFormat format, bool summary) {
  orvane::rig::TemporaryRoot root;
  auto device = orvane::rig::makeDevice(root.path());
  ScenarioRunner runner(*device, std::cout, std::cerr, format);
  const int status = runner.runScript(in, name);
  if (summary) {
    std::cout << name << ": "
              << (status == 0   ? "ok"
                  : status == 1 ? "FAILED " + std::to_string(runner.failures()) + " of"
                                : "stopped at a bad line after")
              << (status == 0 ? " (" : " ") << runner.expectations() << " expectations" << (status == 0 ? ")" : "")
              << "\n";
  }
  return status;
}

int run(const Options& options) {
  if (options.files.empty()) {
    std::cerr << kRunUsage;
    return 2;
  }
  int worst = 0;
  for (const std::string& file : options.files) {
    std::ifstream in(file);
    if (!in) {
      std::cerr << file << ": cannot open\n";
      worst = 2;
      continue;
    }
    worst = std::max(worst, runScriptOnFreshDevice(in, file, options.format, true));
  }
  return worst;
}

int tour(const Options& options) {
  std::istringstream in(orvane::cli::kTourScript);
  return runScriptOnFreshDevice(in, "tour", options.format, options.format == TraceFormat::kNone);
}

int shell(const Options& options) {
  orvane::rig::TemporaryRoot root;
  auto device = orvane::rig::makeDevice(root.path());
  ScenarioRunner runner(*device, std::cout, std::cout, options.format);
  const bool interactive = ::isatty(STDIN_FILENO) != 0;
  std::string line;
  int number = 0;
  for (;;) {
    if (interactive) std::cout << "orvane> " << std::flush;
    if (!std::getline(std::cin, line)) break;
    runner.runLine(line, "stdin:" + std::to_string(++number));
  }
  return runner.failures() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << kUsage;
    return 2;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  const char* usage = command == "run"     ? kRunUsage
                      : command == "tour"  ? kTourUsage
                      : command == "shell" ? kShellUsage
                                           : nullptr;
  if (usage == nullptr) {
    std::cerr << "orvane-sim: unknown command " << command << "\n\n" << kUsage;
    return 2;
  }
  const Options options = parseOptions(argc, argv, command == "run");
  if (options.help) {
    std::cout << usage;
    return 0;
  }
  if (!options.error.empty()) {
    std::cerr << "orvane-sim " << command << ": " << options.error << "\n\n" << usage;
    return 2;
  }
  if (command == "run") return run(options);
  if (command == "tour") return tour(options);
  return shell(options);
}
