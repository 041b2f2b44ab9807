// What a command of orvane-sim was given: its options, read with the option table, and its help.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/option_table.h"
#include "cli/output/output.h"

namespace orvane::cli {

// The runtime this program runs processes on, as its backend names it ("fast", "objc"), and the
// command of the other one, built beside this one: orvane-sim is the fast runtime's command,
// orvane-sim-objc the real runtime's.
std::string runtimeName();
std::string otherRuntimeCommand();

// The program's own help: its commands, and where the rest is.
std::string programUsage();

struct Options {
  OutputOptions output;
  std::vector<std::string> inputs;
  std::optional<std::filesystem::path> root;
  std::optional<std::string> junit;
  std::optional<std::string> stateJson;
  std::optional<std::string> report;
  bool failFast = false;
  bool durable = false;
  bool list = false;
  bool traceGiven = false;            // --trace or -q was given: the trace is shown as they say
  int jobs = 1;                       // -j: files run at once, each in a process of its own
  std::vector<std::string> patterns;  // -k: files whose name holds one of them
  std::string runtime = runtimeName();
  int port = 0;                       // serve: 0 is any free port
  std::optional<std::string> device;  // --device: a booted device's name
  bool follow = false;                // log --follow
  bool all = false;                   // shutdown --all
  bool json = false;                  // list --json
  bool help = false;
  bool version = false;
  std::vector<const OptionRow*> given;  // every option given, as the table names it
  std::string error;
};

// The options after the command word (argv[1]); a mistake is in `error`.
Options parseOptions(int argc, char** argv);

// A command's help: its usage and its options; empty for no command.
std::string helpOf(const std::string& command);

// Whether the option of that long name was given.
bool given(const Options& options, std::string_view name);

// An option the command does not use, or a value no event could ever match: said, not ignored.
std::string unusedOption(const std::string& command, const Options& options);

}  // namespace orvane::cli
