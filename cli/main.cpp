// orvane-sim: a simulated device with the extension installed, driven by scenario scripts. This
// file reads the command word and its options and hands over to the command.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "cli/cleanup.h"
#include "cli/language/words.h"
#include "cli/manual.h"
#include "cli/program.h"

namespace {

namespace fs = std::filesystem;
using namespace orvane::cli;

#ifndef ORVANE_VERSION
#define ORVANE_VERSION "unknown"
#endif
constexpr const char* kVersion = "orvane-sim " ORVANE_VERSION;

// --runtime names the other runtime: its command, beside this one, runs with the same arguments.
int runOnOtherRuntime(const std::string& runtime, const std::string& command, char** argv) {
  const fs::path other = selfPath().value_or(fs::path()).parent_path() / otherRuntimeCommand();
  ::execv(other.c_str(), argv);
  std::cerr << "orvane-sim " << command << ": --runtime=" << runtime << " needs " << other.string() << ": "
            << std::strerror(errno) << " (scripts/tour.sh --runtime=objc builds it; by hand, configure with "
            << "-DORVANE_REAL_RUNTIME=ON, the default)\n";
  return 2;
}

// The program's own words, which come where a command would: help, the version, a completion
// script for bash or zsh, the manual page (the build installs the last two). Nothing for a command.
std::optional<int> programWord(const std::string& word, int argc, char** argv) {
  if (word == "--help" || word == "-h" || word == "help") {
    std::cout << programUsage();
  } else if (word == "--version" || word == "-V") {
    std::cout << kVersion << "\n";
  } else if (word == "--manual") {
    std::cout << manualPage(kVersion);
  } else if (word == "--complete") {
    const std::string script = argc == 3 ? completionScript(argv[2]) : "";
    if (script.empty()) {
      std::cerr << "orvane-sim --complete takes bash or zsh\n";
      return 2;
    }
    std::cout << script;
  } else {
    return std::nullopt;
  }
  return finish(0);
}

// Why the command cannot run with these options; empty when it can.
std::string refusal(const std::string& command, const Options& options) {
  if (!options.error.empty()) return options.error;
  if (std::string unused = unusedOption(command, options); !unused.empty()) return unused;
  if (programCommand(command)->takes == Arguments::kNone && !options.inputs.empty()) {
    return "unexpected argument " + options.inputs.front();
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << programUsage();
    return 2;
  }
  const std::string command = argv[1];
  if (const auto status = programWord(command, argc, argv)) return *status;
  const std::string help = helpOf(command);
  if (help.empty()) {
    std::vector<std::string> words(programWords().begin(), programWords().end());
    for (const ProgramCommand& each : programCommands()) words.emplace_back(each.name);
    std::cerr << "orvane-sim: unknown command " << command << didYouMean(command, words) << "\n\n" << programUsage();
    return 2;
  }
  Options options = parseOptions(argc, argv);
  // A device boots again on the runtime it ran on, unless --runtime says otherwise.
  if (command == "boot" && options.error.empty()) options.runtime = deviceRuntime(options);
  if (options.help || options.version) {
    std::cout << (options.help ? help : std::string(kVersion) + "\n");
    return finish(0);
  }
  // The other runtime's command reads the options again, and says what is wrong with them.
  if (options.error.empty() && options.runtime != runtimeName())
    return runOnOtherRuntime(options.runtime, command, argv);
  if (const std::string why = refusal(command, options); !why.empty()) {
    std::cerr << "orvane-sim " << command << ": " << why << "\nRun 'orvane-sim " << command
              << " --help' for the options.\n";
    return 2;
  }
  removeFoldersOnSignals();
  try {
    return programCommand(command)->main(options);
  } catch (const std::exception& e) {
    // A device folder that cannot be made (a missing or unwritable TMPDIR, a bad --root).
    std::cerr << "orvane-sim " << command << ": " << e.what() << "\n";
    return 2;
  }
}
