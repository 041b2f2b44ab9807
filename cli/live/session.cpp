#include "cli/live/session.h"

#include <algorithm>
#include <sstream>

#include "cli/language/command_table.h"
#include "cli/language/language.h"
#include "settings/settings.h"
#include "settings/switch_mode.h"
#include "sim/trace/trace.h"
#include "sim/trace/value_text.h"

namespace orvane::cli {

namespace {

// A request's lines are few and short: a press on the page is a handful of commands.
constexpr std::size_t kMaxLine = 2048;
constexpr std::size_t kMaxLinesPerAction = 32;
// Presses remembered, so that one sent again is not run twice.
constexpr std::size_t kPressesKept = 256;

std::string firstWord(const std::string& line) {
  const std::size_t start = line.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  return line.substr(start, line.find(' ', start) - start);
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

std::string textWord(const std::string& s) { return sim::formatStringText(s); }

}  // namespace

LiveSession::LiveSession(sim::Device& device, Output& output, std::ostringstream& errors)
    : device_(device), output_(output), runner_(device, output), errors_(errors) {
  // The page asks about what it has just done: an `expect` it sends looks back over the last
  // kRecent events (as many as its trace shows), so that a long session holds no more.
  runner_.boundHistory(kRecent);
  output.setObserver([this](const sim::TraceEvent& event, const std::string& json) {
    ++total_;
    recent_.push_back({event, json});
    if (recent_.size() > kRecent) recent_.pop_front();
    // The report has just taken this event: past its bound, the next one goes to a fresh report.
    if (reporting() && ++reported_ >= kReportEvents) {
      report_ = Report();
      reported_ = 0;
      for (auto& [file, text] : texts_) {
        text.base += static_cast<int>(text.lines.size());
        text.lines.clear();
      }
    }
    screen_.add(event, json);
    if (event.kind == "label") {
      if (const std::string* text = event.field("text")) labels_[event.process] = *text;
    } else if (event.kind == "switcher-list") {
      if (auto list = event.fieldText("list")) switcherLists_[event.process] = std::move(*list);
    } else if (event.kind == "alert") {
      const auto field = [&event](const char* name) {
        const std::string* v = event.field(name);
        return v != nullptr ? textWord(*v) : std::string("\"\"");
      };
      newAlerts_.push_back("expect alert " + textWord(event.process) + " " + field("title") + " " + field("message") +
                           " " + field("button"));
    }
  });
}

bool LiveSession::allowed(const std::string& line) {
  const std::string command = firstWord(line);
  const CommandRow* row = commandRow(command);
  return line.size() <= kMaxLine && line.find('\0') == std::string::npos && row != nullptr && row->livePage;
}

void LiveSession::keepReport() {
  reportKept_ = true;
  output_.setReport(&report_);
}

void LiveSession::noteLine(const std::string& file, int number, const std::string& line) {
  if (!reporting()) return;
  if (!report_.hasFile(file)) report_.startFile(file, "");
  FileText& text = texts_[file];
  const auto at = static_cast<std::size_t>(std::max(0, number - 1 - text.base));
  if (text.lines.size() <= at) text.lines.resize(at + 1);
  text.lines[at] = line;
}

LiveSession::LineOutcome LiveSession::runLine(const std::string& line, const std::string& file, int number) {
  errors_.str("");
  noteLine(file, number, line);
  const auto result = runner_.runLine(line, file, number);
  if (result == ScenarioRunner::LineResult::kOk) {
    script_.push_back(line);
    return {};
  }
  std::string error = errors_.str();
  error = error.substr(0, error.find('\n'));
  if (error.empty())
    error = result == ScenarioRunner::LineResult::kFailed ? "the expectation failed" : "the line could not be run";
  return {error, result != ScenarioRunner::LineResult::kBadLine};
}

LiveSession::SetUp LiveSession::setUp(const std::string& script, const std::string& name) {
  SetUp out;
  std::istringstream in(script);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    const LineOutcome outcome = runLine(line, name, number);
    if (outcome.error.empty()) continue;
    if (out.error.empty()) out.error = outcome.error;
    if (!outcome.ran) {
      out.status = 2;
      break;
    }
    out.status = 1;
  }
  newAlerts_.clear();  // the set-up's own lines are in the scenario; its alerts were never shown
  return out;
}

std::vector<std::string> LiveSession::expectations(const std::vector<std::string>& lines) {
  std::vector<std::string> out = std::move(newAlerts_);
  newAlerts_.clear();
  // Names are read as the language reads them and written back quoted where they need it, so a
  // name with a space, a quote or a newline is one word of the saved scenario.
  for (const std::string& line : lines) {
    const std::vector<Token> words = tokenize(line);
    if (words.size() < 2) continue;
    const std::string& command = words[0].text;
    const std::string& process = words[1].text;
    if (command == "label" && labels_.contains(process) && (words.size() == 2 || words[2].text == sim::kGlobeKeyName)) {
      out.push_back("expect label " + textWord(process) + " " + textWord(labels_[process]));
    }
    if ((command == "long-press" || command == "switcher") && switcherLists_.contains(process)) {
      out.push_back("expect switcher " + textWord(process) + " " + switcherLists_[process]);
    }
  }
  for (const auto& p : device_.processes()) {
    if (auto mode = p->currentInputMode()) {
      out.push_back("expect input-mode " + (p->isSpringBoard() ? std::string("springboard") : textWord(p->name())) +
                    " " + textWord(*mode));
    }
  }
  return out;
}

std::string LiveSession::act(const std::string& text, std::uint64_t since, const std::string& press) {
  if (const auto done = std::ranges::find(presses_, press, &Press::name); !press.empty() && done != presses_.end()) {
    return answer(since, done->error.empty(), done->error);
  }
  const std::string error = run(text);
  if (!press.empty()) {
    if (presses_.size() == kPressesKept) presses_.pop_front();
    presses_.push_back({press, error});
  }
  return answer(since, error.empty(), error);
}

std::string LiveSession::run(const std::string& text) {
  const std::vector<std::string> lines = splitLines(text);
  if (lines.empty() || lines.size() > kMaxLinesPerAction) {
    return "an action is 1 to " + std::to_string(kMaxLinesPerAction) + " lines";
  }
  for (const std::string& line : lines) {
    if (!allowed(line)) return "the page may not send '" + firstWord(line) + "'";
  }
  std::string error;
  std::vector<std::string> ran;
  for (const std::string& line : lines) {
    error = runLine(line, "live", ++line_).error;
    if (!error.empty()) break;  // a line that could not be run, or an expectation that failed
    ran.push_back(line);
  }
  // What the page now shows, kept in the scenario as expectations (they hold: they were read off
  // the device a moment ago).
  for (const std::string& expect : expectations(ran)) runLine(expect, "live", ++line_);
  return error;
}

std::uint64_t LiveSession::next() const { return total_; }

std::string LiveSession::view(std::uint64_t since) { return answer(since, true, ""); }

std::string LiveSession::answer(std::uint64_t since, bool ok, const std::string& error) {
  std::string out = std::string("{\"ok\":") + (ok ? "true" : "false");
  if (!error.empty()) out += ",\"error\":" + sim::jsonString(error);
  out += ",\"next\":" + std::to_string(total_);
  // A page that missed events no longer kept is given what the screen shows instead.
  const std::uint64_t oldest = total_ - recent_.size();
  if (since < oldest) out += ",\"screen\":" + screen_.json();
  out += ",\"events\":[";
  for (std::uint64_t i = std::max(since, oldest); i < total_; ++i) {
    out.append(i > std::max(since, oldest) ? "," : "").append(recent_[i - oldest].json);
  }
  out += "],\"keyboards\":[";
  bool first = true;
  for (const auto& mode : device_.activeInputModes()) {
    out += std::string(first ? "" : ",") + "{\"id\":" + sim::jsonString(mode.identifier.value_or("")) +
           ",\"name\":" + sim::jsonString(mode.displayName.value_or("")) + "}";
    first = false;
  }
  // The settings file is read once, for the state; what the extension reads is taken from that.
  const Value state = runner_.state();
  out += "],\"reads\":" + settingsRead(state) + ",\"state\":" + valueJson(state) + "}";
  return out;
}

// What the extension reads from the settings file, key by key, as its own functions read it, and
// the keys that took their default (absent, or of a type with no reading): the settings pane shows
// these, not the file's raw values, so that Apply changes only what the user changed.
std::string LiveSession::settingsRead(const Value& state) {
  const Value* settings = state.dictionary() != nullptr ? find(*state.dictionary(), "settings") : nullptr;
  const Dictionary* stored = settings != nullptr ? settings->dictionary() : nullptr;
  const Dictionary file = stored != nullptr ? *stored : Dictionary{};
  std::vector<std::string> defaults;
  const auto reads = [&file](std::string_view key, auto reading) {
    const Value* v = find(file, key);
    return v != nullptr && (v->*reading)().has_value();
  };
  if (!reads(kEnabledKey, &Value::boolReading)) defaults.emplace_back(kEnabledKey);
  if (!reads(kModeKey, &Value::int32Reading)) defaults.emplace_back(kModeKey);
  if (!reads(kIconKey, &Value::int32Reading)) defaults.emplace_back(kIconKey);
  const Value* defaultKeyboard = find(file, kDefaultKeyboardKey);
  const std::string* chosen = defaultKeyboard != nullptr ? defaultKeyboard->string() : nullptr;
  std::string out =
      std::string("{\"enabled\":") + (isEnabled(file) ? "true" : "false") +
      ",\"mode\":" + std::to_string(switchModeOf(file)) + ",\"icon\":" + std::to_string(labelStyleOf(file)) +
      ",\"DefaultKeyboard\":" + (chosen != nullptr ? sim::jsonString(*chosen) : "null") + ",\"SelectedKeyboards\":[";
  const Value* selected = find(file, kSelectedKeyboardsKey);
  bool first = true;
  if (const Array* list = selected != nullptr ? selected->array() : nullptr) {
    for (const Value& element : *list) {
      if (const std::string* id = element.string()) {
        out += (first ? "" : ",") + sim::jsonString(*id);
        first = false;
      }
    }
  }
  out += "],\"defaults\":[";
  for (std::size_t i = 0; i < defaults.size(); ++i) out += (i > 0 ? "," : "") + sim::jsonString(defaults[i]);
  return out + "]}";
}

LiveSession::Sent LiveSession::send(const std::string& text, const std::string& file, const OutputOptions& options,
                                    int first) {
  std::ostringstream out;
  std::ostringstream err;
  Output copy(out, err, options);
  output_.setCopy(&copy);
  Sent sent;
  const int expectationsBefore = runner_.expectations();
  const int failuresBefore = runner_.failures();
  const bool oneByOne = file == "send";
  int number = first - 1;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    const LineOutcome outcome = runLine(line, file, oneByOne ? ++sendLine_ : number);
    if (outcome.error.empty()) continue;
    if (!outcome.ran) {
      sent.status = 2;  // a file stops at its bad line, as `run` stops it
      break;
    }
    sent.status = 1;
  }
  output_.setCopy(nullptr);
  sent.expectations = runner_.expectations() - expectationsBefore;
  sent.failed = runner_.failures() - failuresBefore;
  sent.out = out.str();
  sent.err = err.str();
  return sent;
}

std::string LiveSession::log(std::uint64_t since, const OutputOptions& options) const {
  std::ostringstream out;
  std::ostringstream err;
  Output view(out, err, options);
  const std::uint64_t oldest = total_ - recent_.size();
  const std::uint64_t from = std::max(since, oldest);
  for (std::uint64_t i = from; i < total_; ++i) view.show(recent_[i - oldest].event, recent_[i - oldest].json);
  return "{\"next\":" + std::to_string(total_) + ",\"missed\":" + std::to_string(from - std::min(since, from)) +
         ",\"out\":" + sim::jsonString(out.str()) + "}";
}

std::string LiveSession::info(const std::string& page) const {
  std::string out = "{\"version\":" + sim::jsonString(sim::formatValueText(Value(device_.version()))) +
                    ",\"events\":" + std::to_string(total_) + ",\"processes\":[";
  bool first = true;
  for (const auto& p : device_.processes()) {
    out += std::string(first ? "" : ",") + "{\"name\":" + sim::jsonString(p->name()) + ",\"inputMode\":";
    const auto mode = p->currentInputMode();
    out += (mode ? sim::jsonString(*mode) : "null") + "}";
    first = false;
  }
  out += "],\"keyboards\":[";
  first = true;
  for (const auto& mode : device_.activeInputModes()) {
    out += std::string(first ? "" : ",") + sim::jsonString(mode.identifier.value_or(""));
    first = false;
  }
  return out + "],\"page\":" + (page.empty() ? "null" : sim::jsonString(page)) + "}";
}

std::string LiveSession::report() {
  for (const auto& [file, text] : texts_) {
    std::string joined(static_cast<std::size_t>(text.base), '\n');
    for (const std::string& line : text.lines) joined.append(line).push_back('\n');
    if (!report_.hasFile(file)) report_.startFile(file, joined);
    report_.setText(file, joined);
  }
  const int failed = runner_.failures();
  return report_.html(failed == 0 ? 1 : 0, failed == 0 ? 0 : 1, 0, runner_.expectations(), failed);
}

namespace {
OutputOptions nothingShown() {
  OutputOptions options;
  options.format = TraceFormat::kNone;
  return options;
}
}  // namespace

QuietSession::QuietSession(sim::Device& device)
    : output(quiet, errors, nothingShown()), session(device, output, errors) {}

std::string LiveSession::scenario() const {
  std::string out = "# A session of the live device (orvane-sim serve); orvane-sim run replays it.\n";
  for (const std::string& line : script_) out += line + "\n";
  return out;
}

}  // namespace orvane::cli
