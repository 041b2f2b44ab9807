// orvane-sim's manual page, in roff, made from the tables of commands and options.
#pragma once

#include <string>
#include <string_view>

namespace orvane::cli {

// The whole page for man(1): name, synopsis, commands, the scenario language in brief, options
// (each once), environment, files, exit status, examples. `version`: "orvane-sim 1.2.0 (abc123)".
std::string manualPage(std::string_view version);

}  // namespace orvane::cli
