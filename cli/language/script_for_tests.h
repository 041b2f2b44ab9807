// For the language's tests: a scenario script run on a device, as `run` runs a file.
#pragma once

#include <sstream>
#include <string>

#include "cli/language/scenario.h"
#include "rig/rig.h"

namespace orvane::cli {

// Runs a scenario script on a device; its exit status, failures into `errors`.
inline int runScript(rig::Rig& rig, const std::string& script, std::string* errors = nullptr) {
  std::ostringstream out;
  std::ostringstream err;
  ScenarioRunner runner(rig.device(), out, err, TraceFormat::kNone);
  std::istringstream in(script);
  const int status = runner.runScript(in, "test");
  if (errors != nullptr) *errors = err.str();
  return status;
}

}  // namespace orvane::cli
