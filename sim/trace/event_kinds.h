// Every kind of event the trace has and the fields each carries, in one table: the trace's outputs,
// `expect event` (a misspelt kind or field is refused rather than never holding), `--only`, the
// shell's completion, the docs and the pages are checked against it, and a test runs the shipped
// scenarios to hold it to what the device and the extension really trace, both ways.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::sim {

struct EventKind {
  std::string_view name;
  std::string_view fields;  // space separated, in the order events carry them
  // The run's own lines (a failure, a file's result, the summary): written by the output, never
  // added to a device's trace.
  bool runOnly = false;
  // Why no shipped scenario traces this kind (or every one of its fields), when none can: a fault the
  // device reports and the extension does not make, or what only a tool's own action brings.
  std::string_view unreachedBy = {};
};

std::span<const EventKind> eventKindRows();
// The fields of a kind; nullptr for a kind the trace never has.
const std::vector<std::string>* eventFields(std::string_view kind);
// Every kind, in alphabetical order.
std::vector<std::string> eventKinds();

}  // namespace orvane::sim
