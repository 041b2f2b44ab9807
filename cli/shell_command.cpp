// `orvane-sim shell`: scenario lines typed one at a time, each run at once on one device.
#include <algorithm>
#include <iostream>
#include <iterator>
#include <sstream>

#include "cli/language/command_table.h"
#include "cli/language/scenario.h"
#include "cli/language/words.h"
#include "cli/program.h"
#include "cli/shell.h"
#include "settings/settings.h"
#include "settings/switch_mode.h"
#include "sim/standins/ui.h"
#include "sim/trace/event_kinds.h"
#include "sim/trace/value_text.h"

namespace orvane::cli {

namespace {

// What `expect WHAT ...` may complete to after WHAT, as the expectation's row says: a process, then
// an event kind or a keyboard.
std::vector<std::string> expectationCompletions(const std::vector<std::string>& before,
                                                const std::vector<std::string>& processes,
                                                const std::vector<std::string>& keyboards) {
  const std::size_t n = before.size();
  if (n == 1) return expectationWords();
  const ExpectationRow* row = expectationRow(before[1]);
  if (row == nullptr || !row->takesProcess) return {};
  if (n == 2) {
    std::vector<std::string> out = processes;
    if (row->then == Then::kEventKind) out.emplace_back("*");
    return out;
  }
  if (n == 3 && row->then == Then::kEventKind) return sim::eventKinds();
  if (n == 3 && row->then == Then::kKeyboard) return keyboards;
  return {};
}

// The words a shell line's next word may complete to, given the words before it: a command first,
// then what that command takes there (process names, keys, keyboards, event kinds, ...).
std::vector<std::string> completions(sim::Device& device, const std::vector<std::string>& before) {
  std::vector<std::string> processes;
  for (const auto& p : device.processes())
    processes.push_back(p->isSpringBoard() ? "springboard" : p->bundleIdentifier());
  std::vector<std::string> keyboards;
  for (const auto& mode : device.activeInputModes()) {
    if (mode.identifier) keyboards.push_back(*mode.identifier);
  }
  return shellCompletions(processes, keyboards, before);
}

}  // namespace

std::vector<std::string> shellCompletions(const std::vector<std::string>& processes,
                                          const std::vector<std::string>& keyboards,
                                          const std::vector<std::string>& before) {
  static const std::vector<std::string> kCommands = commandWords([](const auto&) { return true; });
  static const std::vector<std::string> kTakesProcess =
      commandWords([](const CommandRow& r) { return r.takesProcess; });
  if (before.empty()) return kCommands;
  const std::string& command = before[0];
  const std::size_t n = before.size();
  const bool takesProcess = std::find(kTakesProcess.begin(), kTakesProcess.end(), command) != kTakesProcess.end();
  if (command == "help" && n == 1) return kCommands;
  if (command == "start" && n == 1) return {"springboard"};
  if (takesProcess && n == 1) return processes;
  if (command == "tap" && n == 2) {
    std::vector<std::string> keys = {"globe", "nowhere"};
    keys.insert(keys.end(), sim::keyboardKeyNames().begin(), sim::keyboardKeyNames().end());
    return keys;
  }
  if (command == "keyboards") return keyboards;
  if (command == "choose" && n == 2) return keyboards;
  if (command == "settings" && n == 2 && (before[1] == "set" || before[1] == "remove")) {
    return {std::string(kEnabledKey), std::string(kModeKey), std::string(kIconKey), std::string(kDefaultKeyboardKey),
            std::string(kSelectedKeyboardsKey)};
  }
  if (command == "state" && n == 1) return {"--json"};
  if (const CommandRow* row = commandRow(command); row != nullptr && n == (takesProcess ? 2u : 1u) + row->choiceAt) {
    if (auto choices = commandChoices(command); !choices.empty()) return choices;
  }
  if (command == "expect") return expectationCompletions(before, processes, keyboards);
  return {};
}

namespace {

bool nonEmptyContainer(const Value& value) {
  return (value.dictionary() && !value.dictionary()->empty()) || (value.array() && !value.array()->empty());
}

// A value as indented lines: a dictionary's keys and an array's elements one per line, what they
// hold below them; a scalar, or an empty container, in the text form of values.
void readable(std::ostream& out, const Value& value, const std::string& indent) {
  if (const auto* d = value.dictionary(); d != nullptr && !d->empty()) {
    for (const auto& [key, member] : *d) {
      out << indent << (keyObject(key) ? sim::formatKeyText(key) : key.str()) << ":";
      if (nonEmptyContainer(member)) {
        out << "\n";
        readable(out, member, indent + "  ");
      } else {
        out << " " << sim::formatValueText(member) << "\n";
      }
    }
  } else if (const auto* a = value.array(); a != nullptr && !a->empty()) {
    for (const Value& element : *a) {
      if (nonEmptyContainer(element)) {
        out << indent << "-\n";
        readable(out, element, indent + "  ");
      } else {
        out << indent << "- " << sim::formatValueText(element) << "\n";
      }
    }
  } else {
    out << indent << sim::formatValueText(value) << "\n";
  }
}

// One shell session: a device, the runner on it, and the lines since the last reset.
class ShellSession {
 public:
  explicit ShellSession(const Options& options) : options_(options), output_(std::cout, std::cerr, options.output) {
    reset();
  }

  void reset() {
    runner_.reset();
    device_.reset();
    folder_.reset();
    folder_ = std::make_unique<DeviceFolder>(options_.root);
    device_ = makeDevice(*folder_, options_);
    device_->setInterruption([] { return interrupted(); });
    runner_ = std::make_unique<ScenarioRunner>(*device_, output_);
    runner_->boundHistory();
    lines_.clear();
  }

  // Runs one line of the language; false when it could not be run.
  bool runLine(const std::string& line, const std::string& where, int at) {
    const auto result = runner_->runLine(line, where, at);
    if (result != ScenarioRunner::LineResult::kOk) anyFailed_ = true;
    // Only what ran and held is saved: a failed expectation would fail the saved file when it runs.
    if (result == ScenarioRunner::LineResult::kOk) lines_.push_back(line);
    // An expectation that held says so, as one that failed does: silence would read as nothing done.
    const std::size_t first = line.find_first_not_of(" \t");
    if (result == ScenarioRunner::LineResult::kOk && first != std::string::npos &&
        line.compare(first, 7, "expect ") == 0 && options_.output.format == TraceFormat::kText) {
      std::cout << "held\n";
    }
    std::cout.flush();
    return result != ScenarioRunner::LineResult::kBadLine;
  }

  // The shell's own words (help, reset, state, save, source); false for a line of the language.
  bool runOwnWord(const std::vector<std::string>& word) {
    const std::string first = word.empty() ? "" : word[0];
    if (first == "help") {
      const std::string text = word.size() > 1 ? commandHelp(word[1]) : commandHelp();
      if (text.empty())
        std::cerr << "help: no command " << word[1] << didYouMean(word[1], completions(*device_, {})) << "\n";
      std::cout << text;
    } else if (first == "reset") {
      reset();
      std::cout << "a fresh device: no process runs, no keyboard is enabled, the extension is installed\n";
    } else if (first == "state" && word.size() <= 2) {
      state(word);
    } else if ((first == "save" || first == "source") && word.size() != 2) {
      std::cerr << first << " takes FILE\n";
      anyFailed_ = true;
    } else if (first == "save") {
      save(word[1]);
    } else if (first == "source") {
      source(word[1]);
    } else {
      return false;
    }
    return true;
  }

  sim::Device& device() { return *device_; }
  int end() {
    if (folder_->kept()) std::cerr << "orvane-sim: the device is kept in " << folder_->path().string() << "\n";
    return finish(anyFailed_ ? 1 : 0, &output_);
  }

 private:
  // The state: readable lines, or one JSON object for programs.
  void state(const std::vector<std::string>& word) {
    if (word.size() == 2 && word[1] != "--json") {
      std::cerr << "state takes --json or nothing\n";
    } else if (word.size() == 2) {
      std::cout << valueJson(runner_->state()) << "\n";
    } else {
      readable(std::cout, runner_->state(), "");
    }
  }

  void save(const std::string& file) {
    if (!saveLines(file, "A session of orvane-sim shell.", lines_)) anyFailed_ = true;
  }

  void source(const std::string& file) {
    std::string text;
    std::string error;
    if (!readScenario(file, text, error)) {
      std::cerr << "source: " << error << "\n";
      anyFailed_ = true;
      return;
    }
    std::istringstream in(text);
    int at = 0;
    for (std::string sourced; std::getline(in, sourced);) {
      if (!runLine(sourced, file, ++at)) break;  // a file stops at its bad line, as `run` does
      if (interrupted()) {
        std::cerr << "source: interrupted after line " << at << "\n";
        break;
      }
    }
  }

  const Options& options_;
  Output output_;
  std::unique_ptr<DeviceFolder> folder_;
  std::unique_ptr<sim::Device> device_;
  std::unique_ptr<ScenarioRunner> runner_;
  std::vector<std::string> lines_;  // the lines since the last reset that could be run: what `save` writes
  bool anyFailed_ = false;
};

}  // namespace

int shellCommand(const Options& options) {
  if (options.device) return shellOnDevice(options);
  ShellSession session(options);
  LineReader reader(
      [&session](const std::vector<std::string>& before) { return completions(session.device(), before); },
      historyPath());
  if (reader.interactive()) catchInterrupts();
  int number = 0;
  while (const auto line = reader.read("orvane> ")) {
    ++number;
    std::istringstream words(*line);
    const std::vector<std::string> word{std::istream_iterator<std::string>(words),
                                        std::istream_iterator<std::string>()};
    if (!word.empty() && (word[0] == "quit" || word[0] == "exit")) break;
    if (!session.runOwnWord(word)) session.runLine(*line, "stdin", number);
  }
  return session.end();
}

}  // namespace orvane::cli
