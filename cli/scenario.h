// The scenario language of orvane-sim: one command per line, run against a fresh device. See
// docs/scenarios.md for the commands.
#pragma once

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "sim/device.h"

namespace orvane::cli {

enum class TraceFormat { kText, kJson, kNone };

class ScenarioRunner {
 public:
  // Trace events and narration go to `out`, failures to `err`.
  ScenarioRunner(sim::Device& device, std::ostream& out, std::ostream& err, TraceFormat format);

  enum class LineResult { kOk, kFailed, kBadLine };
  // Runs one line; `where` is "FILE:LINE" for messages.
  LineResult runLine(const std::string& line, const std::string& where);

  // Runs a whole script: 0 when every expectation held, 1 when one failed, 2 at the first bad line.
  int runScript(std::istream& in, const std::string& fileName);

  int failures() const { return failures_; }
  int expectations() const { return expectations_; }

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
  int failures_ = 0;
  int expectations_ = 0;
};

// The built-in tour: a short walk through what the extension does.
extern const char* const kTourScript;

}  // namespace orvane::cli
