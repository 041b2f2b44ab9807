// The expectations of the scenario language: each compares what the device shows with what the
// line asks for, and counts a failure when they differ.
#include <algorithm>

#include "cli/language/command_table.h"
#include "runner.h"
#include "settings/settings.h"
#include "sim/plist/plist_io.h"
#include "sim/storage/file_store.h"
#include "sim/trace/event_kinds.h"
#include "sim/trace/value_text.h"

namespace orvane::cli {

using sim::Process;

namespace {
// Stored values compare bit for bit, so that a stored NaN is the NaN a line asks for.
bool sameStored(const std::optional<Value>& a, const std::optional<Value>& b) {
  return a.has_value() == b.has_value() && (!a || sim::sameValue(*a, *b));
}
}  // namespace
using sim::TraceEvent;

// The next event of `kind` in `process` that no expectation has consumed yet.
std::optional<TraceEvent> ScenarioRunner::Impl::nextOf(const std::string& processName, const std::string& kind,
                                                       bool consume) {
  auto& queue = pending[{processName, kind}];
  if (queue.empty()) return std::nullopt;
  std::optional<TraceEvent> next = queue.front();
  if (consume) queue.pop_front();
  return next;
}

bool fieldsMatch(const TraceEvent& e, const std::vector<std::pair<std::string, std::string>>& wanted) {
  for (const auto& [key, value] : wanted) {
    if (e.fieldText(key) != value) return false;
  }
  return true;
}

// Every expectation, by the word after "expect", as the expectations' table lists it.
void ScenarioRunner::Impl::expect(Args& args) {
  const Token word = args.token("what to expect");
  const ExpectationRow* row = expectationRow(word.text);
  if (row == nullptr) throw unknownChoice(word, "expectation", expectationWords());
  (this->*(row->handler))(args, word.text);
}

void ScenarioRunner::Impl::expectInputMode(Args& args, const std::string&) {
  Process& p = process(args);
  const std::string identifier = args.word("identifier");
  args.end();
  // An identifier no enabled keyboard has can never be the input mode: say which one was meant.
  std::vector<std::string> enabled;
  for (const sim::InputMode& mode : device.activeInputModes()) {
    if (mode.identifier) enabled.push_back(*mode.identifier);
  }
  const bool known = std::find(enabled.begin(), enabled.end(), identifier) != enabled.end();
  check(p.currentInputMode() == identifier, "input mode " + identifier + " in " + p.name(),
        show(p.currentInputMode()) +
            (known ? "" : "; no enabled keyboard is " + identifier + didYouMean(identifier, enabled)));
}

void ScenarioRunner::Impl::expectAlert(Args& args, const std::string&) {
  Process& p = process(args);
  const std::string title = args.word("title");
  const std::string message = args.word("message");
  const std::string button = args.word("button");
  args.end();
  const auto e = nextOf(p.name(), "alert", true);
  const std::string expected = "alert " + sim::formatStringText(title) + " " + sim::formatStringText(message) + " " +
                               sim::formatStringText(button) + " in " + p.name();
  check(e && fieldsMatch(*e, {{"title", title}, {"message", message}, {"button", button}}), expected,
        e ? sim::Trace::text(*e) : "no further alert");
}

void ScenarioRunner::Impl::expectLog(Args& args, const std::string&) {
  Process& p = process(args);
  const std::string text = args.word("log line");
  args.end();
  const auto e = nextOf(p.name(), "log", true);
  check(e && fieldsMatch(*e, {{"text", text}}), "log " + sim::formatStringText(text) + " in " + p.name(),
        e ? sim::Trace::text(*e) : "no further log line");
}

// no-alert, no-log: every alert (log line) of the process has been expected.
void ScenarioRunner::Impl::expectNoMoreOf(Args& args, const std::string& what) {
  Process& p = process(args);
  args.end();
  const std::string kind = what == "no-alert" ? "alert" : "log";
  const auto e = nextOf(p.name(), kind, false);
  check(!e, "no further " + kind + " in " + p.name(), e ? sim::Trace::text(*e) : "");
}

void ScenarioRunner::Impl::expectHook(Args& args, const std::string& what) {
  Process& p = process(args);
  std::string target = args.word("class or function");
  if (args.more()) target += " " + args.word("selector");
  args.end();
  const auto& hooks = p.installedHooks();
  const bool installed = std::find(hooks.begin(), hooks.end(), target) != hooks.end();
  check(installed == (what == "hook"), (what == "hook" ? "hook on " : "no hook on ") + target + " in " + p.name(),
        installed ? "installed" : "not installed");
}

void ScenarioRunner::Impl::expectPref(Args& args, const std::string& what) {
  const std::string domain = args.word("domain");
  const std::string key = args.word("key");
  std::optional<Value> wanted;
  if (what == "pref") wanted = args.value("value");
  args.end();
  const auto actual = device.preferences().copy(key, domain);
  check(sameStored(actual, wanted), domain + " " + key + " = " + show(wanted), show(actual));
}

void ScenarioRunner::Impl::expectSetting(Args& args, const std::string& what) {
  const std::string key = args.word("key");
  std::optional<Value> wanted;
  if (what == "setting") wanted = args.value("value");
  args.end();
  auto stored = sim::readDictionaryFile(device.files(), kSettingsPath);
  std::optional<Value> actual;
  if (stored) {
    if (const Value* v = find(stored->dictionary, key)) actual = *v;
  }
  check(sameStored(actual, wanted), "setting " + key + " = " + show(wanted),
        stored ? show(actual) : "no readable settings file");
}

void ScenarioRunner::Impl::expectFormat(Args& args, const std::string& what) {
  const std::string path = what == "file-format" ? args.word("path") : std::string(kSettingsPath);
  const std::string format = args.word("xml or binary");
  args.end();
  auto stored = sim::readDictionaryFile(device.files(), path);
  const std::string actual = !stored                                    ? "no readable property list"
                             : stored->format == sim::PlistFormat::kXml ? "xml"
                                                                        : "binary";
  check(actual == format, path + " in " + format, actual);
}

void ScenarioRunner::Impl::expectFile(Args& args, const std::string& what) {
  const std::string path = args.word("path");
  args.end();
  const bool present = device.files().exists(path);
  check(present == (what == "file"), path + (what == "file" ? " present" : " absent"), present ? "present" : "absent");
}

void ScenarioRunner::Impl::expectNoTemporaries(Args& args, const std::string&) {
  args.end();
  const auto left = device.files().temporaries();
  check(left.empty(), "no temporary file left under the root", left.empty() ? "" : left.front().string());
}

void ScenarioRunner::Impl::expectSwitcher(Args& args, const std::string&) {
  Process& p = process(args);
  const Value wanted = args.value("list");
  const auto& last = p.lastSwitcherList();
  check(last && toValue(*last) == wanted, "switcher list " + sim::formatValueText(wanted),
        last ? (*last ? sim::formatValueText(toValue(*last)) : "nil") : "no list asked");
}

void ScenarioRunner::Impl::expectLabel(Args& args, const std::string&) {
  Process& p = process(args);
  const std::string text = args.word("label");
  args.end();
  const auto& last = p.lastLabel();
  check(last && *last == text, "label " + sim::formatStringText(text), last ? show(*last) : "no label asked");
}

// event: the next matching event after the previous match (or `mark`); no-event: none since then.
void ScenarioRunner::Impl::expectEvent(Args& args, const std::string& what) {
  const std::string processName = args.word("process");
  const std::string kind = args.word("kind");
  // A kind or a field the trace never has makes an expectation that could never hold (or never
  // fail): the line cannot be run.
  const std::vector<std::string>* known = sim::eventFields(kind);
  if (known == nullptr) throw args.badWord("no event kind '" + kind + "'" + didYouMean(kind, sim::eventKinds()));
  std::vector<std::pair<std::string, std::string>> fields;
  while (args.more()) {
    const std::string field = args.word("field=value");
    const auto eq = field.find('=');
    if (eq == std::string::npos) throw args.badWord("expected field=value, found " + field);
    const std::string key = field.substr(0, eq);
    if (std::find(known->begin(), known->end(), key) == known->end()) {
      std::string message = "an event of kind ";
      message.append(kind).append(" has no field '").append(key).append("'").append(didYouMean(key, *known));
      if (known->empty()) message += "; it has none";
      throw args.badWord(message);
    }
    fields.emplace_back(key, field.substr(eq + 1));
  }
  const std::string name = processName == "*" ? "*" : processNameOf(processName);
  std::string description = kind + " in " + name;
  for (const auto& [k, v] : fields) description += " " + k + "=" + sim::formatStringText(v);
  if (what == "event") {
    const TraceEvent* found = window.find(name, kind, fields);
    check(found != nullptr, "event " + description + " after the previous one", "none");
    if (found != nullptr) window.consumeThrough(found);
  } else {
    const TraceEvent* found = window.findForAbsence(name, kind, fields);
    check(found == nullptr, "no event " + description, found != nullptr ? sim::Trace::text(*found) : "");
  }
}

// ---- the window of events ----

void EventWindow::add(const sim::TraceEvent& e) {
  byKind_[e.kind].push_back(events_.size());
  events_.push_back(e);
  if (capacity_ != 0 && events_.size() - start_ > capacity_) startAt(events_.size() - capacity_);
}

void EventWindow::clear() {
  events_.clear();
  byKind_.clear();
  absentUpTo_.clear();
  start_ = 0;
}

std::size_t EventWindow::findFrom(std::size_t from, const std::string& process, const std::string& kind,
                                  const Fields& fields) const {
  const auto it = byKind_.find(kind);
  if (it == byKind_.end()) return events_.size();
  const std::vector<std::size_t>& at = it->second;
  for (auto i = std::lower_bound(at.begin(), at.end(), std::max(from, start_)); i != at.end(); ++i) {
    const sim::TraceEvent& e = events_[*i];
    if ((process == "*" || e.process == process) && fieldsMatch(e, fields)) return *i;
  }
  return events_.size();
}

const sim::TraceEvent* EventWindow::find(const std::string& process, const std::string& kind,
                                         const Fields& fields) const {
  const std::size_t i = findFrom(start_, process, kind, fields);
  return i < events_.size() ? &events_[i] : nullptr;
}

const sim::TraceEvent* EventWindow::findForAbsence(const std::string& process, const std::string& kind,
                                                   const Fields& fields) {
  std::string question = process + '\0' + kind;
  for (const auto& [k, v] : fields) question.append(1, '\0').append(k).append(1, '=').append(v);
  std::size_t& checked = absentUpTo_[question];
  const std::size_t i = findFrom(checked, process, kind, fields);
  if (i < events_.size()) return &events_[i];
  checked = events_.size();
  return nullptr;
}

void EventWindow::consumeThrough(const sim::TraceEvent* e) {
  startAt(static_cast<std::size_t>(e - events_.data()) + 1);
}

void EventWindow::startAt(std::size_t position) {
  start_ = std::max(start_, position);
  // The consumed front goes once it is most of what is kept: each event is moved a bounded number
  // of times, and every position is renumbered.
  if (start_ < 4096 || start_ * 2 < events_.size()) return;
  events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(start_));
  for (auto& [kind, at] : byKind_) {
    at.erase(at.begin(), std::lower_bound(at.begin(), at.end(), start_));
    for (std::size_t& i : at) i -= start_;
  }
  for (auto& [question, checked] : absentUpTo_) checked = checked > start_ ? checked - start_ : 0;
  start_ = 0;
}

std::string ScenarioRunner::Impl::processNameOf(const std::string& name) {
  const std::string id = bundleIdentifierOf(name);
  return id == sim::kSpringBoard ? "SpringBoard" : id;
}

}  // namespace orvane::cli
