// The options of orvane-sim's commands, one row each: the parser's list, each command's --help and
// the bash and zsh completion scripts are made from these rows, and an option a command does not
// take is refused by the same rows.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::cli {

// The commands an option belongs to, as bits.
enum CommandSet : unsigned {
  kRunCommand = 1,
  kTourCommand = 2,
  kShellCommand = 4,
  kServeCommand = 8,
  kBootCommand = 16,
  kListCommand = 32,
  kSendCommand = 64,
  kLogCommand = 128,
  kScreenshotCommand = 256,
  kReportCommand = 512,
  kShutdownCommand = 1024,
  kEraseCommand = 2048,
  // The commands that run scenario lines on a device of their own.
  kScenarioCommands = kRunCommand | kTourCommand | kShellCommand | kServeCommand,
  kEveryCommand = 4095,
};

struct Options;

// What a command takes after its options, for the refusal of a stray argument and for completion.
// kDevice: a device's name first (completed from the devices there are), then files.
enum class Arguments { kNone, kOneFileAtMost, kFiles, kDevice };

// The program's commands, one row each: the parser, the program's help, each command's --help, the
// manual page, the completion scripts and the dispatch read these rows.
struct ProgramCommand {
  std::string_view name;
  CommandSet bit;              // the command's bit, as options name the commands they belong to
  std::string_view arguments;  // what it takes after its options: "FILE|FOLDER|-..."
  Arguments takes;
  std::string_view summary;      // a line, for the list of commands
  std::string_view brief;        // a few words, for completion menus
  std::string_view description;  // what it does, its exit status: paragraphs of --help
  int (*main)(const Options&);   // runs the command; its exit status
};
std::span<const ProgramCommand> programCommands();
// The row of a command; nullptr for no command.
const ProgramCommand* programCommand(std::string_view name);

struct OptionRow {
  std::string_view name = {};     // the long name without its dashes; empty for a short option alone
  char shortName = 0;             // the one-letter name, or 0
  std::string_view value = {};    // what its value is called ("FORMAT"); empty for a flag
  std::string_view choices = {};  // for completion: the words it takes ("text json"), "<file>", "<dir>", or nothing
  unsigned commands = 0;          // the CommandSet bits of the commands that take it
  std::string_view brief;         // a few words, for completion menus
  std::string_view help;          // what it does, for --help; a new line continues under the first
  bool onlyChoices = false;       // the value must be one of `choices` (else they are suggestions)
};

std::span<const OptionRow> optionRows();
// The program's own words, which stand where a command would: "--help", "--version", "--manual"
// (the manual page) and "--complete" (a completion script).
std::span<const std::string_view> programWords();
// How the option is written in messages: "--trace", or "-k" for a short option alone.
std::string optionName(const OptionRow& row);
// The command's bit; 0 for no command.
unsigned commandBit(std::string_view command);
// "run only", "run and tour": the commands that take the option, for a message.
std::string commandsTaking(const OptionRow& row);
// "options:" and a line for every option the command takes.
std::string optionHelp(std::string_view command);
// The words of the row's choices ("text json"), none for "<file>" and "<dir>".
std::vector<std::string> choiceWords(const OptionRow& row);
// A completion script for "bash" or "zsh"; empty for any other shell.
std::string completionScript(std::string_view shell);

}  // namespace orvane::cli
