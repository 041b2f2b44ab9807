// The commands of the scenario language and the shell's own, one row each: the scenario reader's
// words, `help` and `help COMMAND`, the shell's completion of a command and of the process it takes,
// and the words the live page may send are all made from these rows.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/language/scenario.h"

namespace orvane::cli {

class Args;
// How the runner carries out a command, and an expectation (told which word it was asked for, so
// that one handler serves a pair such as "log" and "no-log").
using CommandHandler = void (ScenarioRunner::Impl::*)(Args&);
using ExpectationHandler = void (ScenarioRunner::Impl::*)(Args&, const std::string& what);

// The heading a command is listed under in `help`.
enum class Section { kShell, kSetUp, kProcesses, kExpectations };

struct CommandRow {
  std::string_view word;
  // The command and what it takes: "tap PROCESS globe|KEY|nowhere"; empty for `expect`, whose usage
  // is made from the expectations' table.
  std::string_view usage;
  std::string_view summary;  // what it does, in a few words
  Section section;
  bool inScenarios = true;    // false for the shell's own (help, quit, reset, source, save)
  bool takesProcess = false;  // the word after it names a running process
  bool livePage =
      false;  // the live page may send it (nothing that names a file, faults the files or ends a process abruptly)
  // The words one of its arguments takes, space separated (the reader refuses any other, help and
  // completion offer them); empty when none is a choice. The choice comes after the process, for a
  // command that takes one, and after `choiceAt` words more.
  std::string_view choices = {};
  std::size_t choiceAt = 0;
  CommandHandler handler = nullptr;  // none for the shell's own: the shell runs them
};

// What the word after an expectation's process completes to in the shell.
enum class Then { kNothing, kKeyboard, kEventKind };

struct ExpectationRow {
  std::string_view word;   // the word after "expect"
  std::string_view usage;  // what it takes after that word: "PROCESS TITLE MESSAGE BUTTON"
  ExpectationHandler handler;
  bool takesProcess = false;  // its first word names a running process ("*" too, for events)
  Then then = Then::kNothing;
};

std::span<const CommandRow> commandRows();
std::span<const ExpectationRow> expectationRows();
// The row of an expectation word; nullptr when there is none.
const ExpectationRow* expectationRow(std::string_view word);
// The expectations' words, in the table's order.
std::vector<std::string> expectationWords();
// How help and the manual write a row: its usage ("expect" and its expectations' words for expect).
std::string usageOf(const CommandRow& row);
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
// The row of one command (for expect, each expectation's usage after it); empty when there is none.
std::string commandHelp(std::string_view word);

}  // namespace orvane::cli
