// The live device of `orvane-sim serve`: one page on the loopback address that draws the device as a
// phone and turns every press on it into lines of the scenario language, run as a scenario runs
// them. The lines kept, with an `expect` for what the page then showed, are the session's scenario.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/language/scenario.h"
#include "cli/live/screen_events.h"
#include "cli/output/output.h"

namespace orvane::cli {

// What a request may do: the session's logic, apart from the network, so that it can be tested
// without a socket.
class LiveSession {
 public:
  // The session runs its lines on `device` through a runner of its own that writes to `output`;
  // `errors` is where that output writes its messages.
  LiveSession(sim::Device& device, Output& output, std::ostringstream& errors);

  // Runs the lines of a scenario that sets the device up (the page starts from there), as `run`
  // would: it stops at a line that cannot be run (status 2), and goes on past a failed expectation
  // (status 1). The status (0 when every line ran and held) and the first error.
  struct SetUp {
    int status = 0;
    std::string error;
  };
  SetUp setUp(const std::string& script, const std::string& name);

  // Runs the lines of one action (a press on the page); each must be a command the page may send.
  // The answer is JSON: whether every line ran, the error of the first that did not, the events
  // since `since`, and the state.
  // `press` names the press (the page's own name and a number): a press sent again, because its
  // first answer was lost on the way, is answered as it was the first time and not run twice.
  std::string act(const std::string& lines, std::uint64_t since, const std::string& press = "");
  // The state and the events since `since`, as JSON: the last 500 at most, and when some since
  // `since` are no longer kept, the events that decide what the screen shows (`screen`) as well.
  std::string view(std::uint64_t since);
  // How many events the session has had.
  std::uint64_t next() const;
  // The session as a scenario: every line that ran, each action followed by what the page showed.
  std::string scenario() const;

  // Runs lines a client sent (the owner's own, at the device's local door: every command a scenario
  // may hold), as `run` runs a file: it stops at a line that cannot be run (status 2) and goes on
  // past a failed expectation (status 1). `file` names them ("send": the lines sent one by one,
  // numbered on across every client); `out` and `err` are what `run` would print of them, in the
  // client's format and filters.
  struct Sent {
    int status = 0;
    std::string out;
    std::string err;
    int expectations = 0;  // checked by these lines
    int failed = 0;        // of them, did not hold
  };
  // `first` is the number of the text's first line in its file.
  Sent send(const std::string& text, const std::string& file, const OutputOptions& options, int first = 1);
  // The events kept since `since` (the last 500 at most), in the client's format and filters, as
  // JSON: {"next": the count to ask from next, "missed": events since `since` no longer kept,
  // "out": the text}.
  std::string log(std::uint64_t since, const OutputOptions& options) const;
  // The device now, as JSON: its system version, processes (with the keyboard each is on), and
  // keyboards, the events it has had, and the address of its page (`page`; null when empty).
  std::string info(const std::string& page) const;
  // Keeps the visual report of the session from now on (a booted device's: `orvane-sim report`).
  void keepReport();
  // The visual report of the session so far: since keepReport(), or its last kReportEvents events.
  std::string report();

  // What the extension reads from the settings file in `state` (the runner's), as JSON: each key as
  // the extension's own functions read it, and the keys that took their default.
  static std::string settingsRead(const Value& state);

  // Whether the page may send this command (its first word): the device's actions and setup,
  // never a command that names a file, changes the file layer or ends a process abruptly.
  static bool allowed(const std::string& line);

 private:
  // Runs one line; the error when it could not be run or did not hold (an expectation that
  // failed), and whether it could be run at all. Only a line that ran and held joins the scenario,
  // so that the saved session replays.
  struct LineOutcome {
    std::string error;
    bool ran = true;
  };
  LineOutcome runLine(const std::string& line, const std::string& file, int number);
  // Runs the lines of one action; the error of the first that did not run or hold, or nothing.
  std::string run(const std::string& lines);
  // The answer to a request: whether it went through, its error, and `view`'s state and events.
  std::string answer(std::uint64_t since, bool ok, const std::string& error);
  // The `expect` lines for what the page shows after an action: the input modes, the label and the
  // switcher menu asked for, the alerts that came up.
  std::vector<std::string> expectations(const std::vector<std::string>& lines);

  sim::Device& device_;
  Output& output_;
  ScenarioRunner runner_;
  std::ostringstream& errors_;
  // The last events, each with its JSON line (the page's trace shows as many), and how many there
  // have been; what the screen shows is kept apart, so that a page opened late draws it whole.
  static constexpr std::size_t kRecent = 500;
  struct Kept {
    sim::TraceEvent event;
    std::string json;
  };
  std::deque<Kept> recent_;
  std::uint64_t total_ = 0;
  ScreenEvents screen_;
  std::vector<std::string> script_;  // the scenario so far
  // The last label and switcher list each process was asked for, and the alerts not yet expected.
  std::map<std::string, std::string> labels_;
  std::map<std::string, std::string> switcherLists_;
  std::vector<std::string> newAlerts_;
  // The last presses run, each with its error (empty when every line ran and held).
  struct Press {
    std::string name;
    std::string error;
  };
  std::deque<Press> presses_;
  int line_ = 0;      // the page's lines, numbered on as one file ("live")
  int sendLine_ = 0;  // likewise the lines sent one by one ("send")
  // The report: every event since the device booted, and each file's lines at their numbers; a
  // device that runs for long starts it anew past kReportEvents, so that it holds no more.
  static constexpr std::uint64_t kReportEvents = 100'000;
  bool reporting() const { return reportKept_; }
  bool reportKept_ = false;
  Report report_;
  std::uint64_t reported_ = 0;
  struct FileText {
    int base = 0;  // lines before these, from before the report began anew
    std::vector<std::string> lines;
  };
  std::map<std::string, FileText> texts_;
  void noteLine(const std::string& file, int number, const std::string& line);
};

// A session whose own output shows nothing (its clients see what they asked for): what the page
// of `serve` and a booted device run.
struct QuietSession {
  explicit QuietSession(sim::Device& device);
  std::ostringstream quiet;
  std::ostringstream errors;
  Output output;
  LiveSession session;
};

}  // namespace orvane::cli
