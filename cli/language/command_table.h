// The commands of the scenario language and the shell's own, one row each: the scenario reader's
// words, `help` and `help COMMAND`, the shell's completion of a command and of the process it takes,
// and the words the live page may send are all made from these rows.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::cli {

// The heading a command is listed under in `help`.
enum class Section { kShell, kSetUp, kProcesses, kExpectations };

struct CommandRow {
  std::string_view word;
  std::string_view usage;    // the command and what it takes: "tap PROCESS globe|KEY|nowhere"
  std::string_view summary;  // what it does, in a few words
  Section section;
  bool inScenarios;   // false for the shell's own (help, quit, reset, source, save)
  bool takesProcess;  // the word after it names a running process
  bool livePage;  // the live page may send it (nothing that names a file, faults the files or ends a process abruptly)
  // The words its first argument takes (after the process, for a command that takes one), space
  // separated; empty when that argument is free.
  std::string_view choices = {};
};

std::span<const CommandRow> commandRows();
// The heading a section is listed under: "setting up the device:".
std::string_view sectionHeading(Section section);
// The words of a space-separated list, as the tables write choices ("text json").
std::vector<std::string> spaceSeparated(std::string_view words);
// The row of a command word; nullptr when there is none.
const CommandRow* commandRow(std::string_view word);
// The words a command's first argument takes (after its process); none when it is free.
std::vector<std::string> commandChoices(std::string_view word);
// The words of the rows `keep` takes, in the table's order.
std::vector<std::string> commandWords(bool (*keep)(const CommandRow&));
// Every row under its section's heading, then where the language is described.
std::string commandHelp();
// The row of one command; empty when there is none.
std::string commandHelp(std::string_view word);

}  // namespace orvane::cli
