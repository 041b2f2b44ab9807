// What orvane-sim prints: the trace (text or JSON lines, filtered), failures, each file's result and
// the run's summary. With JSON, standard output carries only JSON objects, one per line, valid
// UTF-8; human messages go to standard error.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "cli/output/report.h"
#include "platform/value.h"
#include "sim/trace/trace.h"

namespace orvane::cli {

enum class TraceFormat { kText, kJson, kNone };

struct OutputOptions {
  TraceFormat format = TraceFormat::kText;
  std::set<std::string, std::less<>> only;  // kinds to show; empty: every kind
  std::optional<std::string> process;       // the one process to show (trace name)
  std::optional<bool> color;                // results in colour (ok green, failures red)
};

// What a run's files came to.
struct Tally {
  int passed = 0;
  int failedFiles = 0;   // an expectation did not hold (or the run stopped at the runaway bound)
  int errorFiles = 0;    // could not be read, nothing to run, or stopped at a bad line
  int expectations = 0;  // checked, in every file
  int failed = 0;        // of them, did not hold
};

class Output {
 public:
  Output(std::ostream& out, std::ostream& err, OutputOptions options);

  const OutputOptions& options() const { return options_; }
  // Where the events that follow come from: a scenario file and line.
  void setPlace(const std::string& file, int line) {
    file_ = file;
    line_ = line;
  }
  // A scenario file begins: its failures are collected anew.
  void startFile() {
    failuresOfFile_.clear();
    capturedOfFile_.clear();
  }
  const std::vector<std::string>& failuresOfFile() const { return failuresOfFile_; }
  // Keep each file's trace as text, every event, whatever is shown (for JUnit's captured output).
  void setCapture(bool capture) { capture_ = capture; }
  const std::string& capturedOfFile() const { return capturedOfFile_; }
  // One trace event, shown when the filters let it through; `seq` counts across the whole run.
  void event(const sim::TraceEvent& event);
  // An expectation checked at the current place: held, or failed with its message.
  void expectation(const std::string& where, bool held, const std::string& message);
  // An expectation that did not hold, or a line that could not be run ("FILE:LINE: message").
  void failure(const std::string& where, const std::string& message, bool badLine);
  // A line that could not be run: the message, then (on standard error) the line itself with a
  // caret under the word to blame when there is one (`column`, a byte offset in `line`).
  void badLine(const std::string& where, const std::string& message, const std::string& line, std::size_t column);
  // Also feeds every event and outcome, unfiltered, to a visual report.
  void setReport(Report* report) { report_ = report; }
  // Also hands every event, unfiltered, with its JSON line, to `observer` (the live page).
  void setObserver(std::function<void(const sim::TraceEvent&, const std::string&)> observer) {
    observer_ = std::move(observer);
  }
  // Also shows every event, failure and line that could not be run to `copy` (the client that sent
  // the lines running now: in its own format and filters, at this output's places and numbers);
  // nullptr: none.
  void setCopy(Output* copy) { copy_ = copy; }
  // Shows one event, as its filters and format say (`json`: its JSON line, made already).
  void show(const sim::TraceEvent& event, const std::string& json);
  // A file's result: "FILE: ok (N expectations)", or what failed.
  void fileResult(const std::string& file, int status, int expectations, int failed);
  // The run's closing lines: the expectations, then the files that passed, failed (an expectation
  // did not hold) and ended in an error (it could not be read, held nothing to run, or stopped at a
  // line that could not be run).
  void summary(const Tally& tally, double seconds);
  // When --process named a process no event came from: the processes events came from; nothing
  // otherwise.
  std::optional<std::vector<std::string>> processMissed() const;
  // The system's reason for the first write to standard output that failed; 0 when none did.
  int writeError() const { return writeError_; }

 private:
  static constexpr const char* kGreen = "\033[32m";
  static constexpr const char* kRed = "\033[1;31m";
  static constexpr const char* kPlain = "\033[0m";
  // `colour` when results are coloured, else nothing.
  const char* paint(const char* colour) const;

  bool shown(const sim::TraceEvent& event) const;
  // This output at `from`'s place.
  Output& placed(const Output& from) {
    file_ = from.file_;
    line_ = from.line_;
    return *this;
  }

  std::ostream& out_;
  std::ostream& err_;
  OutputOptions options_;
  std::uint64_t seq_ = 0;
  std::string file_;
  int line_ = 0;
  std::vector<std::string> failuresOfFile_;
  bool capture_ = false;
  std::string capturedOfFile_;
  int writeError_ = 0;
  Report* report_ = nullptr;
  Output* copy_ = nullptr;
  // The processes events came from (a few: the device's processes), and whether --process's had one.
  std::set<std::string, std::less<>> processesSeen_;
  bool processSeen_ = false;
  std::function<void(const sim::TraceEvent&, const std::string&)> observer_;
};

// A value as JSON: numbers as numbers (reals JSON cannot spell, as strings), data, dates and UIDs as
// one-key objects ({"data": "0a1b"}, {"date": "2001-01-01T00:00:00Z"}, {"uid": 7}). A value that
// shares objects past the property-list code's bounds is not written out in full:
// {"tooLarge": {"values": N, "bytes": M}}, as the text form says "<too large to write out ...>".
std::string valueJson(const Value& value);

// The fields after seq, process, kind, file and line, as JSON: each field as a string, and each
// value among them (value, list, userInfo, names) also as JSON, under NAMEJson, beside it.
JsonMembers eventMembers(const sim::TraceEvent& event);
// The trace event as one JSON object: seq, process, kind, file, line, then its members.
std::string eventJson(const sim::TraceEvent& event, std::uint64_t seq, const std::string& file, int line,
                      const JsonMembers& members);
// "[process] kind first name=value ...": the first field by position, the others by name.
std::string eventText(const sim::TraceEvent& event);

}  // namespace orvane::cli
