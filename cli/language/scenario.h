// The scenario language of orvane-sim: one command per line, run against a fresh device. See
// docs/scenarios.md for the commands.
#pragma once

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "cli/output/output.h"
#include "sim/device/device.h"

namespace orvane::cli {

class ScenarioRunner {
 public:
  // Trace events, failures and results go to `output`, which outlives the runner.
  ScenarioRunner(sim::Device& device, Output& output);
  // The same with an output of its own: trace events to `out`, failures to `err`.
  ScenarioRunner(sim::Device& device, std::ostream& out, std::ostream& err, TraceFormat format);

  enum class LineResult { kOk, kFailed, kBadLine };
  // Runs one line of `file`; messages name "FILE:LINE".
  LineResult runLine(const std::string& line, const std::string& file, int number);
  // The device's state as one value: its processes (keyboard, alerts on screen), its keyboards and
  // the settings file.
  Value state() const;

  // Runs a whole script: 0 when every expectation held, 1 when one failed, 2 at the first bad line.
  int runScript(std::istream& in, const std::string& fileName);

  // Lines typed one at a time (the shell, the live page) may ask about anything that came before,
  // so what they may ask about is bounded: `expect event` sees the last `kHistory` events since its
  // last match or `mark`, `expect log` and `expect alert` the last `kHistory` not yet taken of each
  // process. A script read whole keeps only what its later lines ask about, without a bound.
  static constexpr std::size_t kHistory = 10000;
  void boundHistory(std::size_t events = kHistory);

  int failures() const { return failures_; }
  int expectations() const { return expectations_; }

  // The runner's state and handlers, private to the scenario language (runner.h): named here so that
  // the tables of commands and expectations can hold the handlers.
  struct Impl;

 private:
  std::unique_ptr<Output> ownOutput_;
  std::shared_ptr<Impl> impl_;
  int failures_ = 0;
  int expectations_ = 0;
};

}  // namespace orvane::cli
