// The scenario runner: a script read line by line, each line's command found by its first word.
#include "cli/language/scenario.h"

#include <algorithm>
#include <cctype>
#include <istream>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>

#include "cli/language/command_table.h"
#include "runner.h"
#include "settings/settings.h"
#include "sim/standins/ui.h"

namespace orvane::cli {

using sim::Device;
using sim::TraceEvent;

void ScenarioRunner::Impl::onEvent(const TraceEvent& e) {
  if (keepPending && (e.kind == "alert" || e.kind == "log")) {
    auto& queue = pending[{e.process, e.kind}];
    queue.push_back(e);
    if (historyBound != 0 && queue.size() > historyBound) queue.pop_front();
  }
  if (e.process == "SpringBoard") {
    if (e.kind == "activator-register") {
      if (const std::string* name = e.field("name")) listenerNames.push_back(*name);
    } else if (e.kind == "start" || e.kind == "exit" || e.kind == "stop") {
      listenerNames.clear();
    }
  }
  if (keepWindow) window.add(e);
}

sim::Process& ScenarioRunner::Impl::process(const std::string& name) {
  sim::Process* p = device.find(bundleIdentifierOf(name));
  if (p == nullptr) throw BadLine(notRunning(name));
  return *p;
}

sim::Process& ScenarioRunner::Impl::process(Args& args) {
  const std::string name = args.word("process");
  sim::Process* p = device.find(bundleIdentifierOf(name));
  if (p == nullptr) throw args.badWord(notRunning(name));
  return *p;
}

std::string ScenarioRunner::Impl::notRunning(const std::string& name) const {
  std::vector<std::string> running;
  for (const auto& p : device.processes()) {
    running.push_back(p->isSpringBoard() ? "springboard" : p->bundleIdentifier());
  }
  auto near = nearest(name, running);
  // A bundle identifier's last part ("notes" for com.example.notes) names it as well as a slip does.
  for (const std::string& each : running) {
    if (!near && each.ends_with("." + name)) near = each;
  }
  return "no running process " + name + (near ? " (did you mean " + *near + "?); or start it" : "; start it first") +
         " with 'start " + name + "'";
}

sim::Process& ScenarioRunner::Impl::foreground(Args& args) {
  sim::Process& p = process(args);
  if (p.suspended()) throw BadLine(p.name() + " is suspended: nothing of it can be touched until it resumes");
  return p;
}

void ScenarioRunner::Impl::check(bool ok, const std::string& expected, const std::string& found) {
  ++expectations;
  if (!ok) ++failures;
  output.expectation(where, ok, ok ? expected : "expected " + expected + ", found " + found);
}

// Every command of the language, by its first word.
void ScenarioRunner::Impl::run(Args& args) {
  const CommandRow* row = commandRow(args.command());
  if (row == nullptr || !row->inScenarios) {
    const auto names = commandWords([](const CommandRow& r) { return r.inScenarios; });
    throw args.badWord("unknown command '" + args.command() + "'" + didYouMean(args.command(), names));
  }
  (this->*(row->handler))(args);
}

Value ScenarioRunner::Impl::state() const {
  Array processes;
  for (const auto& p : device.processes()) {
    Dictionary entry = {{"name", Value(p->name())},
                        {"bundleIdentifier", Value(p->bundleIdentifier())},
                        {"keyboardShown", Value(p->keyboardShown())}};
    if (auto mode = p->currentInputMode()) entry.emplace("inputMode", Value(*mode));
    Array alerts;
    for (const auto& alert : p->alerts()) {
      if (alert.dismissed) continue;
      alerts.emplace_back(Dictionary{
          {"title", Value(alert.title)}, {"message", Value(alert.message)}, {"button", Value(alert.button)}});
    }
    entry.emplace("alertsOnScreen", Value(std::move(alerts)));
    processes.emplace_back(std::move(entry));
  }
  Array keyboards;
  for (const auto& mode : device.activeInputModes()) {
    keyboards.emplace_back(mode.identifier.value_or(std::string(Device::kNoIdentifier)));
  }
  Dictionary out = {{"version", Value(device.version())},
                    {"activator", Value(device.activatorInstalled())},
                    {"keyboards", Value(std::move(keyboards))},
                    {"processes", Value(std::move(processes))}};
  if (auto settings = sim::readDictionaryFile(device.files(), kSettingsPath)) {
    out.emplace("settings", Value(std::move(settings->dictionary)));
  }
  return Value(std::move(out));
}

ScenarioRunner::ScenarioRunner(Device& device, Output& output)
    : impl_(std::make_shared<Impl>(Impl{.device = device, .output = output})) {
  device.trace().setSink([&output, impl = impl_.get()](const TraceEvent& e) {
    impl->onEvent(e);
    output.event(e);
  });
}

ScenarioRunner::ScenarioRunner(Device& device, std::ostream& out, std::ostream& err, TraceFormat format)
    : ownOutput_(std::make_unique<Output>(out, err, OutputOptions{format, {}, {}, false})),
      impl_(std::make_shared<Impl>(Impl{.device = device, .output = *ownOutput_})) {
  device.trace().setSink([output = ownOutput_.get(), impl = impl_.get()](const TraceEvent& e) {
    impl->onEvent(e);
    output->event(e);
  });
}

ScenarioRunner::LineResult ScenarioRunner::runLine(const std::string& line, const std::string& file, int number) {
  impl_->where = file + ":" + std::to_string(number);
  impl_->output.setPlace(file, number);
  const int failuresBefore = impl_->failures;
  std::optional<Args> args;
  try {
    // A blank line, or a comment (whatever it holds, quotes included).
    const auto first =
        std::find_if(line.begin(), line.end(), [](char c) { return !std::isspace(static_cast<unsigned char>(c)); });
    if (first == line.end() || *first == '#') return LineResult::kOk;
    // A first word that is empty ("") is no command: it is reported as an unknown one.
    args.emplace(line, tokenize(line));
    // Processes that ended (killed, crashed, hung) during the last line are taken out first.
    impl_->device.reap();
    impl_->run(*args);
  } catch (const BadLine& e) {
    // A message that names no word blames the last one read: what the command was reading.
    const std::size_t column = e.column != std::string::npos ? e.column : args ? args->lastWordAt() : e.column;
    impl_->output.badLine(impl_->where, e.what(), line, column);
    return LineResult::kBadLine;
  }
  failures_ = impl_->failures;
  expectations_ = impl_->expectations;
  return impl_->failures == failuresBefore ? LineResult::kOk : LineResult::kFailed;
}

int ScenarioRunner::runScript(std::istream& in, const std::string& fileName) {
  // A first pass finds the last line that asks about earlier events, and the last that asks about
  // alerts or log lines not yet taken: past them, none needs keeping. Without a second pass (input
  // that cannot be read twice), every one is kept.
  const auto start = in.tellg();
  std::size_t lastEventQuestion = std::numeric_limits<std::size_t>::max();
  std::size_t lastPendingQuestion = lastEventQuestion;
  if (start != std::istream::pos_type(-1)) {
    lastEventQuestion = 0;
    lastPendingQuestion = 0;
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
      ++number;
      std::istringstream words(line);
      std::string first;
      std::string second;
      words >> first >> second;
      if (first != "expect") continue;
      if (second == "event" || second == "no-event") lastEventQuestion = number;
      if (second == "alert" || second == "no-alert" || second == "log" || second == "no-log") {
        lastPendingQuestion = number;
      }
    }
    in.clear();
    in.seekg(start);
  }
  std::size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    // Events a line causes are kept while a later line may ask about them; once the last question
    // has been asked, none is.
    impl_->keepWindow = number < lastEventQuestion;
    if (number > lastEventQuestion) impl_->window.clear();
    impl_->keepPending = number < lastPendingQuestion;
    if (number > lastPendingQuestion) impl_->pending.clear();
    if (runLine(line, fileName, static_cast<int>(number)) == LineResult::kBadLine) return 2;
  }
  return failures_ == 0 ? 0 : 1;
}

Value ScenarioRunner::state() const { return impl_->state(); }

void ScenarioRunner::boundHistory(std::size_t events) {
  impl_->historyBound = events;
  impl_->window.setCapacity(events);
}

}  // namespace orvane::cli
