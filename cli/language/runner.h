// The scenario runner's state and handlers, shared by the files that implement its commands
// (commands.cpp) and its expectations (expectations.cpp). Private to the command.
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/language/scenario.h"
#include "cli/output/output.h"
#include "language.h"
#include "sim/device/device.h"

namespace orvane::cli {

// Whether the event has every one of these fields with that value.
bool fieldsMatch(const sim::TraceEvent& e, const std::vector<std::pair<std::string, std::string>>& wanted);

// The events since the last `expect event` match (or `mark`), by kind: a question about one kind
// looks at that kind's events alone, and a `no-event` question asked again looks only at what came
// since it was last asked, so a script that asks after every step costs what its events do.
class EventWindow {
 public:
  using Fields = std::vector<std::pair<std::string, std::string>>;
  void add(const sim::TraceEvent& e);
  void clear();
  // The first event of `kind` in the window, of `process` ("*": any) with those fields; nullptr.
  const sim::TraceEvent* find(const std::string& process, const std::string& kind, const Fields& fields) const;
  // Whether no such event is in the window (a `no-event` question); what it looked at is not
  // looked at again by the same question while the window lasts.
  const sim::TraceEvent* findForAbsence(const std::string& process, const std::string& kind, const Fields& fields);
  // The window starts after `e`, an event find() gave.
  void consumeThrough(const sim::TraceEvent* e);
  // Keeps at most `events` (0: no bound): the oldest go first.
  void setCapacity(std::size_t events) { capacity_ = events; }

 private:
  std::size_t findFrom(std::size_t from, const std::string& process, const std::string& kind,
                       const Fields& fields) const;
  // The window starts at `position` (or where it started, if later).
  void startAt(std::size_t position);
  std::vector<sim::TraceEvent> events_;  // those before start_ are consumed
  std::size_t start_ = 0;
  std::size_t capacity_ = 0;
  std::map<std::string, std::vector<std::size_t>, std::less<>> byKind_;
  // Per `no-event` question (process, kind, fields): how far it has found nothing.
  std::map<std::string, std::size_t, std::less<>> absentUpTo_;
};

struct ScenarioRunner::Impl {
  sim::Device& device;
  Output& output;
  std::string where = {};
  int failures = 0;
  int expectations = 0;
  // Alerts and log lines that no expectation has consumed yet, per process and kind: `expect alert`
  // takes the first, `expect no-alert` asks whether there is one, each in constant time.
  std::map<std::pair<std::string, std::string>, std::deque<sim::TraceEvent>> pending = {};
  // The events `expect event` may still match: those since its last match or `mark`, kept only
  // while a later line of the script can ask for them, so a long run holds no history it never reads.
  EventWindow window = {};
  bool keepWindow = true;
  // Whether alerts and log lines are kept for a later `expect alert` or `expect log`.
  bool keepPending = true;
  // How many unconsumed alerts and log lines of each process are kept (0: no bound).
  std::size_t historyBound = 0;
  // The names Activator's listeners are registered under in the running SpringBoard, for a
  // message that names one it does not know.
  std::vector<std::string> listenerNames = {};

  void onEvent(const sim::TraceEvent& e);

  sim::Process& process(const std::string& name);
  // The running process the next word names; a line that cannot be run, saying how to start it,
  // when none runs under that name.
  sim::Process& process(Args& args);
  sim::Process& foreground(Args& args);
  std::string notRunning(const std::string& name) const;
  // A running process that is not suspended: what a user can touch.

  void check(bool ok, const std::string& expected, const std::string& found);

  // Every command of the language, by its first word.
  void run(Args& args);

  Value state() const;

  // Commands (commands.cpp).
  void say(Args& args);
  void version(Args& args);
  void keyboardMethods(Args& args);
  void appIcon(Args& args);
  void keyboards(Args& args);
  void start(Args& args);
  void stop(Args& args);
  void endProcess(Args& args);
  void suspendOrResume(Args& args);
  void showOrHideKeyboard(Args& args);
  void tap(Args& args);
  void nextKeyboard(Args& args);
  void switcher(Args& args);
  void choose(Args& args);
  void lock(Args& args);
  void label(Args& args);
  void unlock(Args& args);
  void dismiss(Args& args);
  void runQueues(Args& args);
  // show file PATH, show pref DOMAIN: a device file or a preference domain, in readable form.
  void showContents(Args& args);
  // state: the device's state as one value (JSON with --trace json).
  void showState(Args& args);
  void fault(Args& args);
  void mark(Args& args);
  void activator(Args& args);
  void settings(Args& args);
  void file(Args& args);
  void writeFile(const std::string& path, const Value& value, sim::PlistFormat format);
  void deleteFile(const std::string& path);
  // `value`: what the bytes hold, when they are a property list the scenario gave.
  void writeBytes(const std::string& path, const std::string& bytes, const std::optional<Value>& value = std::nullopt);
  void pref(Args& args);
  void post(Args& args);

  // Expectations (expectations.cpp).
  // The next event of `kind` in `process` that no expectation has consumed yet.
  std::optional<sim::TraceEvent> nextOf(const std::string& processName, const std::string& kind, bool consume);
  // Every expectation, by the word after "expect", as the expectations' table lists it.
  void expect(Args& args);
  void expectInputMode(Args& args, const std::string&);
  void expectAlert(Args& args, const std::string&);
  void expectLog(Args& args, const std::string&);
  // no-alert, no-log: every alert (log line) of the process has been expected.
  void expectNoMoreOf(Args& args, const std::string& what);
  void expectHook(Args& args, const std::string& what);
  void expectPref(Args& args, const std::string& what);
  void expectSetting(Args& args, const std::string& what);
  void expectFormat(Args& args, const std::string& what);
  void expectFile(Args& args, const std::string& what);
  void expectNoTemporaries(Args& args, const std::string&);
  void expectSwitcher(Args& args, const std::string&);
  void expectLabel(Args& args, const std::string&);
  // event: the next matching event after the previous match (or `mark`); no-event: none since then.
  void expectEvent(Args& args, const std::string& what);
  static std::string processNameOf(const std::string& name);
};

}  // namespace orvane::cli
